// The device held for one client of the daemon.
//
// Claimed once the client's handshake is done: the daemon then holds the
// device alone, so no other process on this machine uses it meanwhile.
// Local programs that have it open make the claim wait (kClaimWaitMs) and
// then fail, so a client never reaches a login that belongs to a local
// program; programs that come later wait with their own time-out and fail.
// At the claim every session on the device is closed, and with them the
// login, whoever left them (an earlier client of a daemon that was killed,
// programs that ran before the daemon). When the client leaves, whichever
// way (orderly close, crash, reset, time-out, TLS error), its sessions are
// closed the same way before the device is let go: the next user finds it
// clean.
#pragma once

#include <memory>
#include <string>

#include "transport/transport.h"

namespace talvoranth {
class CHIDTransport;
}

class DeviceClaim {
public:
    // How long a claim waits for local programs to let go of the device.
    static constexpr int kClaimWaitMs = 5000;

    // The device with this serial number (any, when empty), open and clean,
    // with the given read time-out; nullptr after the line "Error opening
    // port: %s\n" on standard error.
    static std::unique_ptr<DeviceClaim> claim(unsigned short vendorId, unsigned short productId,
                                              const std::string& serial, int timeoutMs);
    // Clears and releases the device.
    ~DeviceClaim();
    DeviceClaim(const DeviceClaim&) = delete;
    DeviceClaim& operator=(const DeviceClaim&) = delete;

    talvoranth::CTransport* transport();

private:
    explicit DeviceClaim(std::unique_ptr<talvoranth::CHIDTransport> transport);

    std::unique_ptr<talvoranth::CHIDTransport> transport_;
};
