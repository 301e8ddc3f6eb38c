#include "sim/crypto/mac_ops.h"

#include <mbedtls/cmac.h>
#include <p11-kit/pkcs11.h>

#include "sim/crypto/hashing.h"

namespace vexa::sim::crypto {
namespace {

// Shared by both MACs: a computed tag, compared in constant time.
class MacSigner : public SignOperation {
public:
    Rv sign(Bytes* signature) override { return finish(signature); }

    Rv verify(ByteView signature) override {
        Bytes tag;
        const Rv rv = finish(&tag);
        if (rv != CKR_OK) {
            return rv;
        }
        if (signature.size != tag.size()) {
            return CKR_SIGNATURE_LEN_RANGE;
        }
        return constantTimeEqual(tag.data(), signature.data, tag.size()) ? CKR_OK
                                                                         : CKR_SIGNATURE_INVALID;
    }

protected:
    virtual Rv finish(Bytes* tag) = 0;
};

class HmacSigner final : public MacSigner {
public:
    Rv start(mbedtls_md_type_t hash, const Bytes& key) { return hasher_.start(hash, &key); }
    size_t signatureLength() const override { return hasher_.size(); }
    Rv update(ByteView part) override { return hasher_.update(part); }

private:
    Rv finish(Bytes* tag) override { return hasher_.finish(tag); }
    Hasher hasher_;
};

class CmacSigner final : public MacSigner {
public:
    static constexpr size_t kTagSize = 16;

    Rv start(const Bytes& key) {
        const mbedtls_cipher_info_t* info = mbedtls_cipher_info_from_values(
            MBEDTLS_CIPHER_ID_AES, static_cast<int>(key.size() * 8), MBEDTLS_MODE_ECB);
        if (info == nullptr) {
            return CKR_KEY_SIZE_RANGE;
        }
        if (mbedtls_cipher_setup(ctx_.get(), info) != 0 ||
            mbedtls_cipher_cmac_starts(ctx_.get(), key.data(), key.size() * 8) != 0) {
            return CKR_FUNCTION_FAILED;
        }
        return CKR_OK;
    }
    size_t signatureLength() const override { return kTagSize; }
    Rv update(ByteView part) override {
        if (part.empty()) {
            return CKR_OK;
        }
        return mbedtls_cipher_cmac_update(ctx_.get(), part.data, part.size) == 0
                   ? CKR_OK
                   : CKR_FUNCTION_FAILED;
    }

private:
    Rv finish(Bytes* tag) override {
        Bytes out(kTagSize);
        if (mbedtls_cipher_cmac_finish(ctx_.get(), out.data()) != 0) {
            return CKR_FUNCTION_FAILED;
        }
        *tag = std::move(out);
        return CKR_OK;
    }
    CipherContext ctx_;
};

}  // namespace

Rv makeMacSigner(const MechanismInfo& m, const Object& key, std::unique_ptr<SignOperation>* out) {
    const Bytes* value = key.get(CKA_VALUE);
    if (value == nullptr || value->empty()) {
        return CKR_KEY_TYPE_INCONSISTENT;
    }
    if (m.family == Family::Hmac) {
        auto signer = std::make_unique<HmacSigner>();
        const Rv rv = signer->start(m.hash, *value);
        if (rv != CKR_OK) {
            return rv;
        }
        *out = std::move(signer);
        return CKR_OK;
    }
    auto signer = std::make_unique<CmacSigner>();
    const Rv rv = signer->start(*value);
    if (rv != CKR_OK) {
        return rv;
    }
    *out = std::move(signer);
    return CKR_OK;
}

}  // namespace vexa::sim::crypto
