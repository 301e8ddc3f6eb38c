// A first-in, first-out byte queue for the HID transport's receive buffer.
// Bytes are appended at the back and taken from the front; the storage is
// reused, so a steady flow of responses allocates nothing once it has grown
// to the largest response.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace talvoranth {

class ByteQueue {
public:
    size_t size() const { return bytes_.size() - head_; }
    bool empty() const { return size() == 0; }

    void append(const uint8_t* data, size_t n) {
        if (n == 0) {
            return;
        }
        if (head_ > 0 && bytes_.size() + n > bytes_.capacity()) {
            compact();
        }
        bytes_.insert(bytes_.end(), data, data + n);
    }

    // Moves min(n, size()) bytes from the front into out; returns the count.
    size_t take(uint8_t* out, size_t n) {
        n = std::min(n, size());
        if (n > 0) {
            std::memcpy(out, bytes_.data() + head_, n);
        }
        head_ += n;
        if (head_ == bytes_.size()) {
            bytes_.clear();
            head_ = 0;
        }
        return n;
    }

    // Drops bytes from the back until size() is n (n <= size()).
    void truncate(size_t n) { bytes_.resize(head_ + std::min(n, size())); }

    void clear() {
        bytes_.clear();
        head_ = 0;
    }

private:
    void compact() {
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }

    std::vector<uint8_t> bytes_;
    size_t head_ = 0;
};

}  // namespace talvoranth
