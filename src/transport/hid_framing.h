// The two report framings of the HID link, as pure functions over byte
// arrays: the U2FHID channel framing (64-byte packets with a channel
// identifier) and the device's plain framing (report id 1, packet id, 24-bit
// length). No I/O here; CHIDTransport drives them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device_link/u2fhid.h"

namespace talvoranth::hidframe {

namespace u2fhid = vexa::u2fhid;

// ---- channel framing (U2FHID, device_link/u2fhid.h) ----
// As the transport's channel, the broadcast channel means plain framing.
constexpr uint32_t kNoChannel = vexa::u2fhid::kBroadcastChannel;
// Filler of unused payload bytes in packets the host sends and of the
// receive area before each read.
constexpr uint8_t kFiller = 0xEE;

// Fills packet (u2fhid::kPacketSize bytes) as an initialization packet: channel,
// command, 16-bit payload length messageLength and the first
// min(available, u2fhid::kInitPayload) bytes of data; the rest is kFiller. Returns
// the payload bytes taken.
size_t buildInitPacket(uint8_t* packet, uint32_t channel, uint8_t command, uint16_t messageLength,
                       const uint8_t* data, size_t available);
// Fills packet as continuation packet seq with
// min(available, u2fhid::kContinuationPayload)
// bytes of data. Returns the payload bytes taken.
size_t buildContPacket(uint8_t* packet, uint32_t channel, uint8_t seq, const uint8_t* data,
                       size_t available);

// ---- plain framing ----
constexpr uint8_t kPlainReportId = 0x01;
constexpr uint8_t kPlainFirst = 0x00;
constexpr uint8_t kPlainContinuation = 0x01;
constexpr size_t kPlainFirstHeader = 5;  // report id, packet id, 24-bit length
constexpr size_t kPlainContHeader = 2;   // report id, packet id
constexpr size_t kMaxPlainMessage = 0xFFFFFF;
// A first report needs room for at least one payload byte.
constexpr size_t kMinPlainReport = kPlainFirstHeader + 1;

// Fills report (reportLength bytes, at least kMinPlainReport) with the part
// of a totalLength-byte message that starts at offset: a first report when
// offset is 0, else a continuation report; unused bytes are 0. Returns the
// payload bytes taken.
size_t buildPlainReport(uint8_t* report, size_t reportLength, const uint8_t* message,
                        size_t totalLength, size_t offset);

inline uint32_t plainTotalLength(const uint8_t* report) {
    return static_cast<uint32_t>(report[2]) | static_cast<uint32_t>(report[3]) << 8 |
           static_cast<uint32_t>(report[4]) << 16;
}

}  // namespace talvoranth::hidframe
