// Hashes and HMACs on mbedTLS, and the message input of sign and verify
// operations: hashed as it comes for hash-and-sign mechanisms, gathered up
// to a bound for mechanisms that sign caller-formatted data.
#pragma once

#include <mbedtls/md.h>

#include "sim/objects/attribute.h"
#include "sim/objects/mbed_types.h"

namespace vexa::sim::crypto {

class Hasher {
public:
    // CKR_MECHANISM_INVALID for a hash mbedTLS lacks. With a key: HMAC.
    Rv start(mbedtls_md_type_t hash, const Bytes* hmacKey = nullptr);
    Rv update(ByteView part);
    // Ends the hash; the hasher may be started again.
    Rv finish(Bytes* out);
    size_t size() const { return size_; }

private:
    MdContext md_;
    size_t size_ = 0;
    bool hmac_ = false;
};

// Size of the output of a hash, 0 when unknown.
size_t hashSize(mbedtls_md_type_t hash);

class MessageInput {
public:
    // `hash` MBEDTLS_MD_NONE gathers raw input of at most `rawLimit` bytes.
    Rv start(mbedtls_md_type_t hash, size_t rawLimit);
    // CKR_DATA_LEN_RANGE when raw input outgrows its bound.
    Rv update(ByteView part);
    // The digest, or the raw input.
    Rv finish(Bytes* out);

private:
    Hasher hasher_;
    bool hashing_ = false;
    size_t limit_ = 0;
    Bytes raw_;
};

}  // namespace vexa::sim::crypto
