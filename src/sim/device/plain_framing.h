// The device side of the plain framing: reports of L bytes (the report
// length plus the report-id byte), report id 1, packet id 0 for the first
// report of a message (24-bit little-endian total length in bytes 2 to 4,
// payload from byte 5) and 1 for each continuation (payload from byte 2).
//
// The plain framing has no error packet, so the receiver drops what it
// cannot take: a continuation with no message in progress, an unknown
// packet id, or a report with another report id. A first report abandons
// any message in progress. A message announced longer than kMaxMessage is
// not assembled; it completes as an oversized message instead, so that the
// device can still give its one answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/types/device_types.h"

namespace vexa::sim::plain {

constexpr uint8_t kReportId = 0x01;
constexpr uint8_t kFirstPacket = 0x00;
constexpr uint8_t kContinuationPacket = 0x01;
constexpr size_t kMaxMessage = 65536;

struct Received {
    std::optional<Bytes> message;  // a complete message
    bool oversized = false;        // the message was too long to take
};

class Receiver {
public:
    // reportLength: L, the report-id byte included (at least 6).
    explicit Receiver(size_t reportLength) : reportLength_(reportLength) {}

    // Takes one report (report id first); a shorter one counts as
    // zero-padded to L bytes, a longer one is cut to L.
    Received receive(const uint8_t* report, size_t length);

private:
    size_t reportLength_;
    bool active_ = false;
    bool oversized_ = false;
    size_t total_ = 0;
    size_t received_ = 0;
    Bytes payload_;
};

// The reports of one device-to-host message, each L bytes, zero-padded.
std::vector<Bytes> frameReports(size_t reportLength, const Bytes& payload);

}  // namespace vexa::sim::plain
