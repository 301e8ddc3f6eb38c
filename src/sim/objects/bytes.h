// Byte strings of the virtual device and the little-endian helpers that
// turn CK_ULONG values into their 4-byte wire form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/hex.h"

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

using common::readLe32;

inline Bytes ulongBytes(uint32_t v) {
    Bytes b(4);
    common::putLe32(b.data(), v);
    return b;
}

inline void appendLe32(Bytes* out, uint32_t v) {
    out->resize(out->size() + 4);
    common::putLe32(out->data() + out->size() - 4, v);
}

// Compares without an early exit, so that timing does not tell where two
// secrets differ.
bool constantTimeEqual(const uint8_t* a, const uint8_t* b, size_t n);

// Overwrites bytes that held secrets before their storage is released.
void wipe(Bytes* b);

// Lower-case hexadecimal text of bytes, and back; fromHex fails on odd
// lengths and non-hex characters, and leaves *out unchanged then.
inline std::string toHex(ByteView b) {
    return common::toHex(b.data, b.size);
}
inline bool fromHex(const std::string& text, Bytes* out) {
    return common::fromHex(text, *out);
}

}  // namespace vexa::sim
