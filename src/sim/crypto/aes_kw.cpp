#include "sim/crypto/aes_kw.h"

#include <cstring>

#include <mbedtls/platform_util.h>
#include <p11-kit/pkcs11.h>

namespace vexa::sim::crypto {
namespace {

constexpr size_t kSemiblock = 8;

void xorCounter(uint8_t a[8], uint64_t t) {
    for (int i = 7; i >= 0 && t != 0; --i) {
        a[i] ^= static_cast<uint8_t>(t);
        t >>= 8;
    }
}

}  // namespace

Rv aesKeyWrap(const BlockCipher& kek, const uint8_t iv[8], ByteView plain, Bytes* out) {
    if (kek.blockSize() != 16 || plain.size % kSemiblock != 0 || plain.size < 2 * kSemiblock) {
        return CKR_DATA_LEN_RANGE;
    }
    const size_t n = plain.size / kSemiblock;
    Bytes r(kSemiblock + plain.size);  // A || R[1..n]
    std::memcpy(r.data(), iv, kSemiblock);
    std::memcpy(r.data() + kSemiblock, plain.data, plain.size);
    uint8_t block[16];
    // RFC 3394 2.2.1, index-based form: 6n steps of B = AES(K, A | R[i]).
    for (size_t j = 0; j < 6; ++j) {
        for (size_t i = 1; i <= n; ++i) {
            uint8_t* ri = r.data() + i * kSemiblock;
            std::memcpy(block, r.data(), kSemiblock);
            std::memcpy(block + kSemiblock, ri, kSemiblock);
            kek.encryptBlock(block, block);
            std::memcpy(r.data(), block, kSemiblock);
            xorCounter(r.data(), static_cast<uint64_t>(n * j + i));
            std::memcpy(ri, block + kSemiblock, kSemiblock);
        }
    }
    mbedtls_platform_zeroize(block, sizeof block);
    *out = std::move(r);
    return CKR_OK;
}

Rv aesKeyUnwrap(const BlockCipher& kek, const uint8_t iv[8], ByteView wrapped, Bytes* out) {
    if (kek.blockSize() != 16 || wrapped.size % kSemiblock != 0 || wrapped.size < 3 * kSemiblock) {
        return CKR_ENCRYPTED_DATA_LEN_RANGE;
    }
    const size_t n = wrapped.size / kSemiblock - 1;
    uint8_t a[kSemiblock];
    std::memcpy(a, wrapped.data, kSemiblock);
    Bytes r(wrapped.data + kSemiblock, wrapped.data + wrapped.size);
    uint8_t block[16];
    // RFC 3394 2.2.2: B = AES-1(K, (A ^ t) | R[i]) for j = 5..0, i = n..1.
    for (size_t j = 6; j-- > 0;) {
        for (size_t i = n; i >= 1; --i) {
            uint8_t* ri = r.data() + (i - 1) * kSemiblock;
            std::memcpy(block, a, kSemiblock);
            xorCounter(block, static_cast<uint64_t>(n * j + i));
            std::memcpy(block + kSemiblock, ri, kSemiblock);
            kek.decryptBlock(block, block);
            std::memcpy(a, block, kSemiblock);
            std::memcpy(ri, block + kSemiblock, kSemiblock);
        }
    }
    mbedtls_platform_zeroize(block, sizeof block);
    if (!constantTimeEqual(a, iv, kSemiblock)) {
        wipe(&r);
        return CKR_ENCRYPTED_DATA_INVALID;
    }
    *out = std::move(r);
    return CKR_OK;
}

}  // namespace vexa::sim::crypto
