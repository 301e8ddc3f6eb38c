// The two report framings of the HID link, as pure functions over byte
// arrays: the U2FHID channel framing (64-byte packets with a channel
// identifier) and the device's plain framing (report id 1, packet id, 24-bit
// length). No I/O here; CHIDTransport drives them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talvoranth::hidframe {

// ---- channel framing (U2FHID) ----
constexpr size_t kPacketSize = 64;
constexpr size_t kInitPayload = 57;  // payload bytes in an initialization packet
constexpr size_t kContPayload = 59;  // payload bytes in a continuation packet
constexpr uint8_t kMaxSequence = 127;
// 57 + 128 × 59: the longest message the sequence numbers can carry.
constexpr size_t kMaxChannelMessage = kInitPayload + (kMaxSequence + 1) * kContPayload;
// The broadcast channel; as the transport's channel it means plain framing.
constexpr uint32_t kNoChannel = 0xFFFFFFFF;
constexpr uint8_t kCommandBit = 0x80;
constexpr uint8_t kCmdInit = 0x86;     // channel allocation
constexpr uint8_t kCmdMessage = 0xC0;  // vendor command carrying our messages
constexpr uint8_t kCmdError = 0xBF;    // device to host
// Filler of unused payload bytes in packets the host sends and of the
// receive area before each read.
constexpr uint8_t kFiller = 0xEE;

// Fills packet (kPacketSize bytes) as an initialization packet: channel,
// command, 16-bit payload length messageLength and the first
// min(available, kInitPayload) bytes of data; the rest is kFiller. Returns
// the payload bytes taken.
size_t buildInitPacket(uint8_t* packet, uint32_t channel, uint8_t command, uint16_t messageLength,
                       const uint8_t* data, size_t available);
// Fills packet as continuation packet seq with min(available, kContPayload)
// bytes of data. Returns the payload bytes taken.
size_t buildContPacket(uint8_t* packet, uint32_t channel, uint8_t seq, const uint8_t* data,
                       size_t available);

inline uint32_t packetChannel(const uint8_t* packet) {
    return static_cast<uint32_t>(packet[0]) << 24 | static_cast<uint32_t>(packet[1]) << 16 |
           static_cast<uint32_t>(packet[2]) << 8 | packet[3];
}
inline bool isInitPacket(const uint8_t* packet) {
    return (packet[4] & kCommandBit) != 0;
}
inline uint8_t packetCommand(const uint8_t* packet) {
    return packet[4];
}
inline uint16_t packetPayloadLength(const uint8_t* packet) {
    return static_cast<uint16_t>(packet[5] << 8 | packet[6]);
}
inline const uint8_t* initPayload(const uint8_t* packet) {
    return packet + 7;
}
inline const uint8_t* contPayload(const uint8_t* packet) {
    return packet + 5;
}

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
