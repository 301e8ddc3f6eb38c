// Reads a fuzz input front to back, so that a seed file reads in the order
// it is written. Past the end every number is 0 and every byte string empty.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vexa::fuzz {

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t remaining() const { return size_ - at_; }
    bool empty() const { return at_ == size_; }

    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    // Big-endian, as seed files are easiest to write.
    uint16_t u16() {
        const uint16_t high = u8();
        return static_cast<uint16_t>(high << 8 | u8());
    }
    uint32_t u32() {
        const uint32_t high = u16();
        return high << 16 | u16();
    }
    // A value in [low, high] from two bytes.
    int inRange(int low, int high) {
        return low + static_cast<int>(u16() % static_cast<uint32_t>(high - low + 1));
    }
    bool flag() { return (u8() & 1) != 0; }

    std::vector<uint8_t> bytes(size_t n) {
        n = std::min(n, remaining());
        std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
        at_ += n;
        return out;
    }
    // A byte string behind its 2-byte length.
    std::vector<uint8_t> block() { return bytes(u16()); }
    std::string text() {
        const std::vector<uint8_t> b = bytes(u8());
        return std::string(b.begin(), b.end());
    }
    std::vector<uint8_t> rest() { return bytes(remaining()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace vexa::fuzz
