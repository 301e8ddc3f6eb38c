#include "sim/crypto/hashing.h"

#include <p11-kit/pkcs11.h>

namespace vexa::sim::crypto {

size_t hashSize(mbedtls_md_type_t hash) {
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(hash);
    return info == nullptr ? 0 : mbedtls_md_get_size(info);
}

Rv Hasher::start(mbedtls_md_type_t hash, const Bytes* hmacKey) {
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(hash);
    if (info == nullptr) {
        return CKR_MECHANISM_INVALID;
    }
    mbedtls_md_free(md_.get());
    mbedtls_md_init(md_.get());
    hmac_ = hmacKey != nullptr;
    if (mbedtls_md_setup(md_.get(), info, hmac_ ? 1 : 0) != 0) {
        return CKR_DEVICE_MEMORY;
    }
    const int rc = hmac_ ? mbedtls_md_hmac_starts(md_.get(), hmacKey->data(), hmacKey->size())
                         : mbedtls_md_starts(md_.get());
    if (rc != 0) {
        return CKR_FUNCTION_FAILED;
    }
    size_ = mbedtls_md_get_size(info);
    return CKR_OK;
}

Rv Hasher::update(ByteView part) {
    if (part.empty()) {
        return CKR_OK;
    }
    const int rc = hmac_ ? mbedtls_md_hmac_update(md_.get(), part.data, part.size)
                         : mbedtls_md_update(md_.get(), part.data, part.size);
    return rc == 0 ? CKR_OK : CKR_FUNCTION_FAILED;
}

Rv Hasher::finish(Bytes* out) {
    Bytes digest(size_);
    const int rc = hmac_ ? mbedtls_md_hmac_finish(md_.get(), digest.data())
                         : mbedtls_md_finish(md_.get(), digest.data());
    if (rc != 0) {
        return CKR_FUNCTION_FAILED;
    }
    *out = std::move(digest);
    return CKR_OK;
}

Rv MessageInput::start(mbedtls_md_type_t hash, size_t rawLimit) {
    hashing_ = hash != MBEDTLS_MD_NONE;
    limit_ = rawLimit;
    return hashing_ ? hasher_.start(hash) : CKR_OK;
}

Rv MessageInput::update(ByteView part) {
    if (hashing_) {
        return hasher_.update(part);
    }
    if (raw_.size() + part.size > limit_) {
        return CKR_DATA_LEN_RANGE;
    }
    raw_.insert(raw_.end(), part.begin(), part.end());
    return CKR_OK;
}

Rv MessageInput::finish(Bytes* out) {
    if (hashing_) {
        return hasher_.finish(out);
    }
    *out = std::move(raw_);
    raw_.clear();
    return CKR_OK;
}

}  // namespace vexa::sim::crypto
