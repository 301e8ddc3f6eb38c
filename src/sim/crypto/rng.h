// The device's random generator as mbedTLS wants it: a function and its
// context.
#pragma once

#include <cstddef>

#include "sim/crypto/device_random.h"

namespace vexa::sim::crypto {

struct Rng {
    int (*f)(void*, unsigned char*, size_t) = nullptr;
    void* ctx = nullptr;
};

inline int deviceRandomBytes(void* ctx, unsigned char* out, size_t length) {
    // MBEDTLS_ERR_ENTROPY_SOURCE_FAILED, so that callers see a failure.
    return static_cast<DeviceRandom*>(ctx)->generate(out, length) ? 0 : -0x003C;
}

inline Rng rngOf(DeviceRandom& random) {
    return Rng{&deviceRandomBytes, &random};
}

}  // namespace vexa::sim::crypto
