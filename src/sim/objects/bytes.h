// Byte strings of the virtual device and the little-endian helpers that
// turn CK_ULONG values into their 4-byte wire form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vexa::sim {

using Bytes = std::vector<uint8_t>;

// A non-owning view of bytes; the viewed storage outlives the view.
struct ByteView {
    const uint8_t* data = nullptr;
    size_t size = 0;

    ByteView() = default;
    ByteView(const uint8_t* d, size_t n) : data(d), size(n) {}
    ByteView(const Bytes& b) : data(b.data()), size(b.size()) {}  // NOLINT: implicit on purpose

    bool empty() const { return size == 0; }
    const uint8_t* begin() const { return data; }
    const uint8_t* end() const { return data + size; }
    Bytes toBytes() const { return Bytes(begin(), end()); }
};

inline Bytes ulongBytes(uint32_t v) {
    return Bytes{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                 static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
}

inline uint32_t readLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void appendLe32(Bytes* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out->push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

// Compares without an early exit, so that timing does not tell where two
// secrets differ.
bool constantTimeEqual(const uint8_t* a, const uint8_t* b, size_t n);

// Overwrites bytes that held secrets before their storage is released.
void wipe(Bytes* b);

// Lower-case hexadecimal text of bytes, and back; fromHex fails on odd
// lengths and non-hex characters.
std::string toHex(ByteView b);
bool fromHex(const std::string& text, Bytes* out);

}  // namespace vexa::sim
