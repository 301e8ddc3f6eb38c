// The U2FHID channel framing as both ends of the HID link see it: 64-byte
// packets that start with a big-endian 32-bit channel identifier.
//
//   initialization packet: channel, command (bit 7 set), 16-bit big-endian
//                          payload length, the first kInitPayload bytes
//   continuation packet:   channel, sequence 0 to kMaxSequence, the next
//                          kContinuationPayload bytes
//
// The host (transport/hid_framing.h) and the virtual device
// (sim/device/u2f_framing.h) build and parse packets with these names only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa::u2fhid {

constexpr size_t kPacketSize = 64;
constexpr size_t kInitPayloadOffset = 7;
constexpr size_t kContinuationPayloadOffset = 5;
constexpr size_t kInitPayload = kPacketSize - kInitPayloadOffset;                  // 57
constexpr size_t kContinuationPayload = kPacketSize - kContinuationPayloadOffset;  // 59
constexpr uint8_t kMaxSequence = 127;
// 57 + 128 × 59: the longest message the sequence numbers can carry.
constexpr size_t kMaxMessage = kInitPayload + (kMaxSequence + 1) * kContinuationPayload;
// The channel on which a host without one asks for one.
constexpr uint32_t kBroadcastChannel = 0xFFFFFFFF;

constexpr uint8_t kCommandBit = 0x80;       // set in an initialization packet
constexpr uint8_t kCommandAllocate = 0x86;  // channel allocation
constexpr uint8_t kCommandMessage = 0xC0;   // vendor command carrying our messages
constexpr uint8_t kCommandError = 0xBF;     // device to host, one byte: the code

// The codes of an error packet that the device sends.
constexpr uint8_t kErrInvalidCommand = 0x01;
constexpr uint8_t kErrInvalidLength = 0x03;
constexpr uint8_t kErrInvalidSequence = 0x04;
constexpr uint8_t kErrInvalidChannel = 0x0B;

// The fields of a packet of at least kPacketSize bytes.
inline uint32_t packetChannel(const uint8_t* packet) {
    return static_cast<uint32_t>(packet[0]) << 24 | static_cast<uint32_t>(packet[1]) << 16 |
           static_cast<uint32_t>(packet[2]) << 8 | packet[3];
}
inline void putPacketChannel(uint8_t* packet, uint32_t channel) {
    packet[0] = static_cast<uint8_t>(channel >> 24);
    packet[1] = static_cast<uint8_t>(channel >> 16);
    packet[2] = static_cast<uint8_t>(channel >> 8);
    packet[3] = static_cast<uint8_t>(channel);
}
inline bool isInitPacket(const uint8_t* packet) {
    return (packet[4] & kCommandBit) != 0;
}
// The command of an initialization packet, the sequence of a continuation.
inline uint8_t packetCommand(const uint8_t* packet) {
    return packet[4];
}
inline uint16_t packetPayloadLength(const uint8_t* packet) {
    return static_cast<uint16_t>(packet[5] << 8 | packet[6]);
}
inline const uint8_t* initPayload(const uint8_t* packet) {
    return packet + kInitPayloadOffset;
}
inline const uint8_t* continuationPayload(const uint8_t* packet) {
    return packet + kContinuationPayloadOffset;
}
inline void putPacketPayloadLength(uint8_t* packet, uint16_t length) {
    packet[5] = static_cast<uint8_t>(length >> 8);
    packet[6] = static_cast<uint8_t>(length);
}

}  // namespace vexa::u2fhid
