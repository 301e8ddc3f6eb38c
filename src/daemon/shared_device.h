// The Vexa device as the daemon's clients share it: claimed for the client
// that holds the turn (DeviceTurns) through DeviceClaim, which holds the
// device against other processes and finds it clean; cleared and released
// when that client leaves (kept open for the next one); cleared and closed
// after a failed exchange, so that the next request opens it afresh and a
// late answer is never taken for it.
#pragma once

#include <string>

#include "daemon/device_claim.h"
#include "transport/transport.h"

class SharedDevice {
public:
    explicit SharedDevice(std::string serial);
    ~SharedDevice();
    SharedDevice(const SharedDevice&) = delete;
    SharedDevice& operator=(const SharedDevice&) = delete;

    // The device for the client that now holds the turn, claimed when it is
    // not; nullptr after "Error opening port: ..." when it cannot be.
    // *reused tells whether it was open already.
    talvoranth::CTransport* forClient(bool* reused);
    // An exchange failed: the device is cleared and closed.
    void failed();
    // The holder has gone: its sessions are cleared and the device released
    // (still open).
    void clientLeft();

private:
    DeviceClaim claim_;
};

// The device's read time-out, the daemon's own bound on a device answer:
// the longest the module waits for one (key-pair and domain-parameter
// generation, 65 s), since the daemon cannot tell which call a request is.
// Usually the wait ends much sooner: the relay watches the client meanwhile
// and stops waiting when it leaves (its module gives up after its own
// time-out, 12 s by default).
constexpr int kDeviceTimeoutMs = 65000;
