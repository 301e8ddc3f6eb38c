#include "sim/objects/bytes.h"

#include <mbedtls/platform_util.h>

namespace vexa::sim {

void wipe(Bytes* b) {
    if (!b->empty()) {
        mbedtls_platform_zeroize(b->data(), b->size());
    }
    b->clear();
}

bool constantTimeEqual(const uint8_t* a, const uint8_t* b, size_t n) {
    uint8_t diff = 0;
    for (size_t i = 0; i < n; ++i) {
        diff |= static_cast<uint8_t>(a[i] ^ b[i]);
    }
    return diff == 0;
}

}  // namespace vexa::sim
