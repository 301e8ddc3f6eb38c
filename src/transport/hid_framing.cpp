#include "transport/hid_framing.h"

#include <algorithm>
#include <cstring>

namespace talvoranth::hidframe {

namespace {
size_t copyPayload(uint8_t* to, const uint8_t* data, size_t available, size_t room) {
    const size_t n = std::min(available, room);
    if (n > 0) {
        std::memcpy(to, data, n);
    }
    return n;
}
}  // namespace

size_t buildInitPacket(uint8_t* packet, uint32_t channel, uint8_t command, uint16_t messageLength,
                       const uint8_t* data, size_t available) {
    std::memset(packet, kFiller, u2fhid::kPacketSize);
    u2fhid::putPacketChannel(packet, channel);
    packet[4] = command;
    u2fhid::putPacketPayloadLength(packet, messageLength);
    return copyPayload(packet + u2fhid::kInitPayloadOffset, data, available, u2fhid::kInitPayload);
}

size_t buildContPacket(uint8_t* packet, uint32_t channel, uint8_t seq, const uint8_t* data,
                       size_t available) {
    std::memset(packet, kFiller, u2fhid::kPacketSize);
    u2fhid::putPacketChannel(packet, channel);
    packet[4] = seq;
    return copyPayload(packet + u2fhid::kContinuationPayloadOffset, data, available,
                       u2fhid::kContinuationPayload);
}

size_t buildPlainReport(uint8_t* report, size_t reportLength, const uint8_t* message,
                        size_t totalLength, size_t offset) {
    std::memset(report, 0, reportLength);
    report[0] = kPlainReportId;
    if (offset == 0) {
        report[1] = kPlainFirst;
        report[2] = static_cast<uint8_t>(totalLength);
        report[3] = static_cast<uint8_t>(totalLength >> 8);
        report[4] = static_cast<uint8_t>(totalLength >> 16);
        return copyPayload(report + kPlainFirstHeader, message, totalLength,
                           reportLength - kPlainFirstHeader);
    }
    report[1] = kPlainContinuation;
    return copyPayload(report + kPlainContHeader, message + offset, totalLength - offset,
                       reportLength - kPlainContHeader);
}

}  // namespace talvoranth::hidframe
