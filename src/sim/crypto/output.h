// The device's output-buffer rule, shared by every call that returns bytes:
// with `lengthOnly` (a size query) only the length is answered; when
// `capacity` is given and the output is larger, the length and
// CKR_BUFFER_TOO_SMALL; otherwise the bytes and their length. Neither a
// size query nor a too-small capacity ends an operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "sim/objects/object.h"

namespace vexa::sim::crypto {

// What the host asked for: the length only, or the bytes within a capacity
// (none stated: any length).
struct OutputSpec {
    bool lengthOnly = false;
    std::optional<uint32_t> capacity;

    // Whether `length` bytes fit the stated capacity.
    bool fits(size_t length) const { return !capacity || length <= *capacity; }
};

// An answer: the bytes, when delivered, and the length to state.
struct Output {
    std::optional<Bytes> data;
    std::optional<uint32_t> length;
};

}  // namespace vexa::sim::crypto
