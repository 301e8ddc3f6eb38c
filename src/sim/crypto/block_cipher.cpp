#include "sim/crypto/block_cipher.h"

#include <p11-kit/pkcs11.h>

namespace vexa::sim::crypto {

BlockCipher::BlockCipher(Kind kind) : kind_(kind) {}

Rv BlockCipher::create(Kind kind, ByteView key, std::shared_ptr<const BlockCipher>* out) {
    std::shared_ptr<BlockCipher> c(new BlockCipher(kind));
    if (kind == Kind::Aes) {
        if (key.size != 16 && key.size != 24 && key.size != 32) {
            return CKR_KEY_SIZE_RANGE;
        }
        const auto bits = static_cast<unsigned>(key.size * 8);
        if (mbedtls_aes_setkey_enc(&c->aesEnc_, key.data, bits) != 0 ||
            mbedtls_aes_setkey_dec(&c->aesDec_, key.data, bits) != 0) {
            return CKR_KEY_SIZE_RANGE;
        }
    } else if (kind == Kind::Des) {
        if (key.size != MBEDTLS_DES_KEY_SIZE ||
            mbedtls_des_setkey_enc(&c->singleEnc_, key.data) != 0 ||
            mbedtls_des_setkey_dec(&c->singleDec_, key.data) != 0) {
            return CKR_KEY_SIZE_RANGE;
        }
    } else if (key.size == 24) {
        if (mbedtls_des3_set3key_enc(&c->desEnc_, key.data) != 0 ||
            mbedtls_des3_set3key_dec(&c->desDec_, key.data) != 0) {
            return CKR_KEY_SIZE_RANGE;
        }
    } else if (key.size == 16) {
        if (mbedtls_des3_set2key_enc(&c->desEnc_, key.data) != 0 ||
            mbedtls_des3_set2key_dec(&c->desDec_, key.data) != 0) {
            return CKR_KEY_SIZE_RANGE;
        }
    } else {
        return CKR_KEY_SIZE_RANGE;
    }
    *out = std::move(c);
    return CKR_OK;
}

// The ECB block functions cannot fail for a context whose key was set.
void BlockCipher::encryptBlock(const uint8_t* in, uint8_t* out) const {
    if (kind_ == Kind::Aes) {
        mbedtls_aes_crypt_ecb(&aesEnc_, MBEDTLS_AES_ENCRYPT, in, out);
    } else if (kind_ == Kind::Des) {
        mbedtls_des_crypt_ecb(&singleEnc_, in, out);
    } else {
        mbedtls_des3_crypt_ecb(&desEnc_, in, out);
    }
}

void BlockCipher::decryptBlock(const uint8_t* in, uint8_t* out) const {
    if (kind_ == Kind::Aes) {
        mbedtls_aes_crypt_ecb(&aesDec_, MBEDTLS_AES_DECRYPT, in, out);
    } else if (kind_ == Kind::Des) {
        mbedtls_des_crypt_ecb(&singleDec_, in, out);
    } else {
        mbedtls_des3_crypt_ecb(&desDec_, in, out);
    }
}

}  // namespace vexa::sim::crypto
