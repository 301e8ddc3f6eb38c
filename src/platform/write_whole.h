// The loop behind every "write it all": a step hands over a part of what is
// left and says how much it took; the loop moves on until nothing is left.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa::platform {

// step(data, length) takes up to length bytes and returns how many it took;
// 0 or below ends the loop with false (the step's failure).
template <typename Step>
bool writeWhole(const uint8_t* data, size_t length, Step step) {
    while (length > 0) {
        const long taken = step(data, length);
        if (taken <= 0) {
            return false;
        }
        data += taken;
        length -= static_cast<size_t>(taken);
    }
    return true;
}

}  // namespace vexa::platform
