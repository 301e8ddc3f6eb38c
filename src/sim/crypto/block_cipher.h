// A block cipher with its key schedules for both directions, built once
// and never changed, so that operations in progress can share it while
// their chaining state is copied (see CipherOperation::clone).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "sim/objects/attribute.h"
#include "sim/objects/mbed_types.h"

namespace vexa::sim::crypto {

class BlockCipher {
public:
    enum class Kind : uint8_t { Aes, Des3, Des };

    // AES with a 16, 24 or 32-byte key, DES3 with a 24-byte (three-key) or
    // 16-byte (two-key) key, DES with an 8-byte key; CKR_KEY_SIZE_RANGE for
    // other lengths.
    static Rv create(Kind kind, ByteView key, std::shared_ptr<const BlockCipher>* out);

    BlockCipher(const BlockCipher&) = delete;
    BlockCipher& operator=(const BlockCipher&) = delete;

    size_t blockSize() const { return kind_ == Kind::Aes ? 16 : 8; }
    void encryptBlock(const uint8_t* in, uint8_t* out) const;
    void decryptBlock(const uint8_t* in, uint8_t* out) const;

private:
    explicit BlockCipher(Kind kind);

    Kind kind_;
    // mbedTLS's block functions take non-const contexts but do not change
    // them; the schedules are written once in create().
    mutable AesContext aesEnc_;
    mutable AesContext aesDec_;
    mutable Des3Context desEnc_;
    mutable Des3Context desDec_;
    mutable DesContext singleEnc_;
    mutable DesContext singleDec_;
};

}  // namespace vexa::sim::crypto
