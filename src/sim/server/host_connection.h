// One host connection to vexa-sim, served on its own thread: the requests
// of device_link/virtual_wire.h in, their replies out, and, once OPEN has
// bound it to a device, that device's input reports pushed to the host as
// they fall due.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/device/link.h"
#include "sim/device/virtual_device.h"
#include "sim/device/wakeup.h"
#include "device_link/virtual_wire.h"

namespace vexa::sim {

class HostConnection {
public:
    HostConnection(virtual_wire::Channel& channel,
                   const std::vector<std::unique_ptr<VirtualDevice>>& devices, Wakeup& wakeup);

    // Serves until the host leaves, breaks the protocol or cannot be
    // reached, the open device vanishes (its last message then says so), or
    // the simulator stops. The caller closes the socket.
    void run();

private:
    // Carries out one request and sends its reply; false ends the
    // connection.
    bool handle(const uint8_t* message, size_t length);
    // Sends the reports that are due, as far as the socket takes them;
    // false when the connection failed.
    bool push();
    // Milliseconds until the next report falls due (-1: none queued).
    int nextWaitMs() const;

    virtual_wire::Channel& channel_;
    const std::vector<std::unique_ptr<VirtualDevice>>& devices_;
    Wakeup& wakeup_;
    std::optional<DeviceLink> link_;
    std::vector<uint8_t> message_;
    virtual_wire::Writer reply_{virtual_wire::WRITE_REPLY};
    // A REPORT the socket had no room for, sent before anything else is
    // taken from the link; after the device vanished, the last message.
    virtual_wire::Writer report_{virtual_wire::REPORT};
    bool reportPending_ = false;
    bool closing_ = false;
    Bytes input_;
    std::string error_;
};

}  // namespace vexa::sim
