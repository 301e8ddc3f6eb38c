// One host connection to a device: the reports the host writes go through
// the framing they belong to (report id 0: a U2FHID packet; report id 1: a
// plain-framing report), each complete message goes through the firmware,
// and the answer's reports wait in this link's queue until they are due and
// the connection takes them to the host.
//
// The link is driven by one connection thread only; the device it points
// to is shared.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

#include "sim/device/plain_framing.h"
#include "sim/device/u2f_framing.h"
#include "sim/device/virtual_device.h"

namespace vexa::sim {

// The reason a link gives once its device has vanished.
constexpr const char* kDisconnectedText = "the device was disconnected";

class DeviceLink {
public:
    using Clock = std::chrono::steady_clock;

    explicit DeviceLink(VirtualDevice& device);

    VirtualDevice& device() { return device_; }

    // False once the device vanished after this link was made.
    bool connected() const;

    // One output report as hid_write takes it (report id first). Returns the
    // bytes taken, or -1 with `error` set.
    int write(const uint8_t* report, size_t length, std::string& error);

    // The next input report if it is due at `now`, as hid_read_timeout
    // delivers it (a U2FHID packet without its report id 0; a plain report
    // with its report id 1): its length, with the report moved into
    // `report`; 0 when none is due. Reports leave in the order they were
    // made; a held-back one holds back those behind it.
    int take(Clock::time_point now, Bytes& report);

    // When the next queued report falls due; Clock::time_point::max() when
    // none is queued.
    Clock::time_point nextDue() const;

private:
    struct Outgoing {
        Bytes report;
        Clock::time_point readyAt;
    };

    void answer(const Bytes& message, bool u2f, uint32_t channel, bool oversized);
    void queue(std::vector<Bytes> reports, Clock::time_point readyAt);

    VirtualDevice& device_;
    uint64_t generation_;
    u2f::Receiver u2f_;
    plain::Receiver plain_;
    std::deque<Outgoing> outgoing_;
};

}  // namespace vexa::sim
