// The frame of a request from a client (the module's TLS transport) to
// vexa-daemon: the payload length n (4 bytes, little-endian), a flag byte,
// then n payload bytes. Flag 0 sends the payload to the device; any other
// flag asks the daemon for the payload itself back. The 5 header bytes
// travel in one TLS record. The daemon's answers are unframed.
#pragma once

#include <cstdint>

#include "common/byte_order.h"

namespace vexa::tls {

constexpr int kFrameHeaderSize = 5;
constexpr uint8_t kFlagToDevice = 0x00;

struct FrameHeader {
    uint32_t payloadLength = 0;
    uint8_t flag = kFlagToDevice;
};

// header holds kFrameHeaderSize bytes.
inline void putFrameHeader(uint8_t* header, const FrameHeader& frame) {
    common::putLe32(header, frame.payloadLength);
    header[4] = frame.flag;
}

inline FrameHeader readFrameHeader(const uint8_t* header) {
    return FrameHeader{common::readLe32(header), header[4]};
}

}  // namespace vexa::tls
