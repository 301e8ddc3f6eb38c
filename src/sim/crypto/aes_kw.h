// AES key wrap (RFC 3394, the CKM_AES_KEY_WRAP mechanism) on the AES block
// function: the mbedTLS build of Debian has no key-wrap module.
#pragma once

#include "sim/crypto/block_cipher.h"

namespace vexa::sim::crypto {

// The default initial value of RFC 3394, section 2.2.3.1.
constexpr uint8_t kDefaultKwIv[8] = {0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6};

// Wraps `plain` (a multiple of 8 bytes, at least 16) into 8 more bytes.
// CKR_DATA_LEN_RANGE for other lengths.
Rv aesKeyWrap(const BlockCipher& kek, const uint8_t iv[8], ByteView plain, Bytes* out);

// Unwraps and checks the integrity value: CKR_ENCRYPTED_DATA_LEN_RANGE for
// a length that cannot be wrapped data, CKR_ENCRYPTED_DATA_INVALID when the
// check fails (nothing is returned then).
Rv aesKeyUnwrap(const BlockCipher& kek, const uint8_t iv[8], ByteView wrapped, Bytes* out);

}  // namespace vexa::sim::crypto
