// The Vexa device as the daemon's clients share it: opened for the first
// client and kept open (and settled) for the next ones, so that a client
// does not pay the device's settle time; closed after a failure, so that the
// next client opens it afresh and a late answer is never taken for its
// request. Only the client holding the turn (DeviceTurns) uses it.
#pragma once

#include <memory>
#include <string>

#include "transport/transport.h"

class SharedDevice {
public:
    explicit SharedDevice(std::string serial);
    ~SharedDevice();
    SharedDevice(const SharedDevice&) = delete;
    SharedDevice& operator=(const SharedDevice&) = delete;

    // The device for the client that now holds the turn, opened when it is
    // not open; nullptr after "Error opening port: ..." when it cannot be.
    // *reused tells whether it was open already.
    talvoranth::CTransport* forClient(bool* reused);
    // An exchange failed: the device is closed.
    void failed();
    // The holder has gone; the next client starts from here.
    void clientLeft();

private:
    struct Closer {
        void operator()(talvoranth::CTransport* transport) const;
    };
    std::string serial_;
    std::unique_ptr<talvoranth::CTransport, Closer> link_;
};

// The device's read time-out: the longest the module waits for an answer
// (key-pair generation). A client still waiting after that has given up.
constexpr int kDeviceTimeoutMs = 65000;
