// Little-endian integers in byte strings: the order of every length and
// CK_ULONG that crosses a link (the device's wire values, the daemon's frame
// header, the virtual link's lengths). Callers check the room first.
#pragma once

#include <cstdint>

namespace vexa::common {

inline uint32_t readLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void putLe32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

}  // namespace vexa::common
