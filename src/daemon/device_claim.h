// The device held for one client of the daemon at a time, kept open and
// settled between clients.
//
// Claimed once the client's handshake is done: the daemon then holds the
// device alone, so no other process on this machine uses it meanwhile.
// Local programs that have it open make the claim wait (kClaimWaitMs) and
// then fail, so a client never reaches a login that belongs to a local
// program; programs that come later wait with their own time-out and fail.
// At every claim every session on the device is closed, and with them the
// login, whoever left them (an earlier client, a daemon that was killed,
// local programs that ran before or between clients). When the client
// leaves, whichever way (orderly close, crash, reset, time-out, TLS error),
// its sessions are closed the same way: the next user finds it clean.
//
// Between clients the device stays open, so that the next client does not
// pay the device's opening and settling again, but the daemon lets its
// presence go. A local program that opens meanwhile therefore finds itself
// the device's only user and clears what earlier local programs left, as it
// would without the daemon. (Were the daemon to stay present, shared, such a
// program would count as not alone and skip its clearing: the daemon's own
// clearing at the next claim covers its clients, but a crashed local
// program's login would reach the next local program.)
// A device whose exchange failed, or that vanished or was unplugged, is
// closed and opened afresh at the next claim.
#pragma once

#include <memory>
#include <string>

#include "transport/transport.h"

namespace talvoranth {
class CHIDTransport;
}

// The device's read time-out, the daemon's own bound on a device answer:
// the longest the module waits for one (key-pair and domain-parameter
// generation, 65 s), since the daemon cannot tell which call a request is.
// Usually the wait ends much sooner: the relay watches the client meanwhile
// and stops waiting when it leaves (its module gives up after its own
// time-out, 12 s by default).
constexpr int kDeviceTimeoutMs = 65000;

class DeviceClaim {
public:
    // How long a claim waits for local programs to let go of the device.
    static constexpr int kClaimWaitMs = 5000;

    // The device with this serial number (any, when empty), used with the
    // given read time-out.
    DeviceClaim(unsigned short vendorId, unsigned short productId, const std::string& serial,
                int timeoutMs);
    // Clears a claimed device and closes it.
    ~DeviceClaim();
    DeviceClaim(const DeviceClaim&) = delete;
    DeviceClaim& operator=(const DeviceClaim&) = delete;

    // Claims the device for the next client: open, clean and held alone,
    // nullptr after the line "Error opening port: %s\n" on standard error.
    // *reused tells whether it was kept open from before (claimed already,
    // or from an earlier client).
    talvoranth::CTransport* claim(bool* reused);
    // The client has gone: its sessions are cleared and presence let go;
    // the device stays open while it answers.
    void release();
    // An exchange failed: the device is cleared where it still answers and
    // closed, so that a late answer is never taken for a later request.
    void discard();

private:
    bool reclaimKeptOpen();

    int timeoutMs_;
    std::unique_ptr<talvoranth::CHIDTransport> transport_;
    bool claimed_ = false;
};
