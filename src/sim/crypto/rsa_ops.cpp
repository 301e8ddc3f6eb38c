#include "sim/crypto/rsa_ops.h"

#include <p11-kit/pkcs11.h>

#include "sim/crypto/gathering_cipher.h"
#include "sim/crypto/hashing.h"
#include "sim/crypto/message_signer.h"
#include "sim/objects/key_material.h"

namespace vexa::sim::crypto {
namespace {

constexpr size_t kPkcs1Overhead = 11;  // PKCS#1 v1.5 padding takes at least 11 bytes

struct OaepSpec {
    mbedtls_md_type_t hash = MBEDTLS_MD_SHA1;
    Bytes label;
};

// OAEP parameters come as the schema's OaepParams (C_EncryptInit,
// C_DecryptInit) or, from C_WrapKey and C_UnwrapKey, as a parameter block
// in the device's layout (hashAlg, mgf, source, ulSourceDataLen as uint32,
// then the source data).
Rv oaepSpec(const DeviceMechanism& dm, OaepSpec* out) {
    uint32_t hashAlg = CKM_SHA_1;
    uint32_t mgf = CKG_MGF1_SHA1;
    if (dm.oaep) {
        hashAlg = dm.oaep->hashAlg;
        mgf = dm.oaep->mgf;
        if (dm.oaep->sourceData && !dm.oaep->sourceData->empty()) {
            if (dm.oaep->source.value_or(0) != CKZ_DATA_SPECIFIED) {
                return CKR_MECHANISM_PARAM_INVALID;
            }
            out->label = *dm.oaep->sourceData;
        }
    } else if (parameterOf(dm).empty()) {
        return CKR_MECHANISM_PARAM_INVALID;  // OAEP has no default parameters
    } else {
        // hashAlg, mgf, source, ulSourceDataLen, then the source data.
        const Bytes& p = parameterOf(dm);
        if (p.size() < 16 || p.size() - 16 != readLe32(p.data() + 12)) {
            return CKR_MECHANISM_PARAM_INVALID;
        }
        hashAlg = readLe32(p.data());
        mgf = readLe32(p.data() + 4);
        if (p.size() > 16) {
            if (readLe32(p.data() + 8) != CKZ_DATA_SPECIFIED) {
                return CKR_MECHANISM_PARAM_INVALID;
            }
            out->label.assign(p.begin() + 16, p.end());
        }
    }
    out->hash = hashOfMechanism(hashAlg);
    // mbedTLS uses one hash for the label and the mask.
    if (out->hash == MBEDTLS_MD_NONE || out->hash == MBEDTLS_MD_MD5 ||
        hashOfMgf(mgf) != out->hash) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    return CKR_OK;
}

Rv loadKey(const Object& key, bool priv, std::shared_ptr<RsaContext>* out) {
    auto rsa = std::make_shared<RsaContext>();
    const Rv rv = loadRsa(key, priv, rsa.get());
    if (rv != CKR_OK) {
        return rv == CKR_DEVICE_MEMORY ? rv : CKR_KEY_TYPE_INCONSISTENT;
    }
    *out = std::move(rsa);
    return CKR_OK;
}

// Raw RSA input is the modulus length, left-padded with zeros.
bool leftPad(ByteView in, size_t k, Bytes* out) {
    if (in.size > k) {
        return false;
    }
    out->assign(k - in.size, 0);
    out->insert(out->end(), in.begin(), in.end());
    return true;
}

class RsaCipher final : public GatheringCipher {
public:
    RsaCipher(std::shared_ptr<RsaContext> rsa, Family family, bool encrypt, OaepSpec oaep, Rng rng)
        : rsa_(std::move(rsa)),
          family_(family),
          encrypt_(encrypt),
          oaep_(std::move(oaep)),
          rng_(rng),
          k_(mbedtls_rsa_get_len(rsa_->get())) {
        if (family_ == Family::RsaOaep) {
            mbedtls_rsa_set_padding(rsa_->get(), MBEDTLS_RSA_PKCS_V21, oaep_.hash);
        }
    }

    std::unique_ptr<CipherOperation> clone() const override {
        return std::make_unique<RsaCipher>(*this);
    }

protected:
    size_t inputLimit() const override {
        if (!encrypt_) {
            return k_;
        }
        switch (family_) {
            case Family::RsaPkcs:
                return k_ - kPkcs1Overhead;
            case Family::RsaOaep:
                return k_ - 2 * hashSize(oaep_.hash) - 2;
            default:
                return k_;
        }
    }
    Rv inputTooLong() const override {
        return encrypt_ ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE;
    }
    size_t outputBound(size_t /*inputLength*/) const override { return k_; }

    Rv process(ByteView in, Bytes* out) override {
        return encrypt_ ? encrypt(in, out) : decrypt(in, out);
    }

private:
    Rv encrypt(ByteView in, Bytes* out) {
        Bytes result(k_);
        int rc = 0;
        if (family_ == Family::RsaPkcs) {
            rc = mbedtls_rsa_rsaes_pkcs1_v15_encrypt(
                rsa_->get(), rng_.f, rng_.ctx, MBEDTLS_RSA_PUBLIC, in.size, in.data, result.data());
        } else if (family_ == Family::RsaOaep) {
            rc = mbedtls_rsa_rsaes_oaep_encrypt(rsa_->get(), rng_.f, rng_.ctx, MBEDTLS_RSA_PUBLIC,
                                                oaep_.label.data(), oaep_.label.size(), in.size,
                                                in.data, result.data());
        } else {
            Bytes padded;
            leftPad(in, k_, &padded);
            rc = mbedtls_rsa_public(rsa_->get(), padded.data(), result.data());
            if (rc != 0) {
                return CKR_DATA_INVALID;  // the value is not below the modulus
            }
        }
        if (rc != 0) {
            return CKR_FUNCTION_FAILED;
        }
        *out = std::move(result);
        return CKR_OK;
    }

    Rv decrypt(ByteView in, Bytes* out) {
        if (in.size != k_) {
            return CKR_ENCRYPTED_DATA_LEN_RANGE;
        }
        Bytes result(k_);
        size_t length = 0;
        int rc = 0;
        if (family_ == Family::RsaPkcs) {
            rc = mbedtls_rsa_rsaes_pkcs1_v15_decrypt(rsa_->get(), rng_.f, rng_.ctx,
                                                     MBEDTLS_RSA_PRIVATE, &length, in.data,
                                                     result.data(), result.size());
        } else if (family_ == Family::RsaOaep) {
            rc = mbedtls_rsa_rsaes_oaep_decrypt(rsa_->get(), rng_.f, rng_.ctx, MBEDTLS_RSA_PRIVATE,
                                                oaep_.label.data(), oaep_.label.size(), &length,
                                                in.data, result.data(), result.size());
        } else {
            rc = mbedtls_rsa_private(rsa_->get(), rng_.f, rng_.ctx, in.data, result.data());
            length = k_;
        }
        if (rc != 0) {
            wipe(&result);
            return CKR_ENCRYPTED_DATA_INVALID;
        }
        result.resize(length);
        *out = std::move(result);
        return CKR_OK;
    }

    std::shared_ptr<RsaContext> rsa_;
    Family family_;
    bool encrypt_;
    OaepSpec oaep_;
    Rng rng_;
    size_t k_;
};

struct PssSpec {
    mbedtls_md_type_t hash = MBEDTLS_MD_NONE;
    mbedtls_md_type_t mgf = MBEDTLS_MD_NONE;
    int saltLength = 0;
};

// CK_RSA_PKCS_PSS_PARAMS (hashAlg, mgf, sLen) in the device's layout. The
// hash-and-sign mechanisms need its hash to be their own; without
// parameters they use their hash for both and a salt of the hash's size.
Rv pssSpec(const MechanismInfo& m, const DeviceMechanism& dm, size_t k, PssSpec* out) {
    const Bytes& p = parameterOf(dm);
    if (p.empty()) {
        if (m.hash == MBEDTLS_MD_NONE) {
            return CKR_MECHANISM_PARAM_INVALID;
        }
        out->hash = out->mgf = m.hash;
        out->saltLength = static_cast<int>(hashSize(m.hash));
    } else {
        uint32_t v[3];
        if (!readUlongs(p, 3, 0, v)) {
            return CKR_MECHANISM_PARAM_INVALID;
        }
        out->hash = hashOfMechanism(v[0]);
        out->mgf = hashOfMgf(v[1]);
        if (out->hash == MBEDTLS_MD_NONE || out->mgf == MBEDTLS_MD_NONE ||
            (m.hash != MBEDTLS_MD_NONE && out->hash != m.hash) || v[2] > k) {
            return CKR_MECHANISM_PARAM_INVALID;
        }
        out->saltLength = static_cast<int>(v[2]);
    }
    // EMSA-PSS needs room for the hash, the salt and two more bytes.
    if (hashSize(out->hash) + static_cast<size_t>(out->saltLength) + 2 > k) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    return CKR_OK;
}

class RsaSigner final : public MessageSigner {
public:
    RsaSigner(std::shared_ptr<RsaContext> rsa, const MechanismInfo& m, PssSpec pss, Rng rng)
        : rsa_(std::move(rsa)),
          family_(m.family),
          hash_(m.hash),
          pss_(pss),
          rng_(rng),
          k_(mbedtls_rsa_get_len(rsa_->get())) {
        if (pss_.mgf != MBEDTLS_MD_NONE) {
            mbedtls_rsa_set_padding(rsa_->get(), MBEDTLS_RSA_PKCS_V21, pss_.mgf);
        }
    }

    Rv start(const MechanismInfo& m) {
        switch (family_) {
            case Family::RsaPkcsHash:
            case Family::RsaPssHash:
                return input_.start(m.hash, 0);
            case Family::RsaPss:
                return input_.start(MBEDTLS_MD_NONE, hashSize(pss_.hash));
            case Family::RsaPkcs:
                return input_.start(MBEDTLS_MD_NONE, k_ - kPkcs1Overhead);
            default:
                return input_.start(MBEDTLS_MD_NONE, k_);
        }
    }

    size_t signatureLength() const override { return k_; }

    Rv signMessage(const Bytes& digest, Bytes* signature) override {
        Bytes sig(k_);
        int rc = 0;
        switch (family_) {
            case Family::RsaPkcs:
            case Family::RsaPkcsHash:
                rc = mbedtls_rsa_rsassa_pkcs1_v15_sign(
                    rsa_->get(), rng_.f, rng_.ctx, MBEDTLS_RSA_PRIVATE,
                    family_ == Family::RsaPkcs ? MBEDTLS_MD_NONE : hash_,
                    static_cast<unsigned>(digest.size()), digest.data(), sig.data());
                break;
            case Family::RsaPss:
            case Family::RsaPssHash:
                if (digest.size() != hashSize(pss_.hash)) {
                    return CKR_DATA_LEN_RANGE;
                }
                rc = mbedtls_rsa_rsassa_pss_sign_ext(rsa_->get(), rng_.f, rng_.ctx, pss_.hash,
                                                     static_cast<unsigned>(digest.size()),
                                                     digest.data(), pss_.saltLength, sig.data());
                break;
            default: {
                Bytes padded;
                leftPad(digest, k_, &padded);
                rc = mbedtls_rsa_private(rsa_->get(), rng_.f, rng_.ctx, padded.data(), sig.data());
                if (rc != 0) {
                    return CKR_DATA_INVALID;
                }
            }
        }
        if (rc != 0) {
            return CKR_FUNCTION_FAILED;
        }
        *signature = std::move(sig);
        return CKR_OK;
    }

    Rv verifyMessage(const Bytes& digest, ByteView signature) override {
        int rc = 0;
        switch (family_) {
            case Family::RsaPkcs:
            case Family::RsaPkcsHash:
                rc = mbedtls_rsa_rsassa_pkcs1_v15_verify(
                    rsa_->get(), nullptr, nullptr, MBEDTLS_RSA_PUBLIC,
                    family_ == Family::RsaPkcs ? MBEDTLS_MD_NONE : hash_,
                    static_cast<unsigned>(digest.size()), digest.data(), signature.data);
                break;
            case Family::RsaPss:
            case Family::RsaPssHash:
                if (digest.size() != hashSize(pss_.hash)) {
                    return CKR_DATA_LEN_RANGE;
                }
                rc = mbedtls_rsa_rsassa_pss_verify_ext(
                    rsa_->get(), nullptr, nullptr, MBEDTLS_RSA_PUBLIC, pss_.hash,
                    static_cast<unsigned>(digest.size()), digest.data(), pss_.mgf, pss_.saltLength,
                    signature.data);
                break;
            default: {
                // Raw RSA: the recovered value must be the data, left-padded.
                Bytes expected;
                Bytes recovered(k_);
                leftPad(digest, k_, &expected);
                rc = mbedtls_rsa_public(rsa_->get(), signature.data, recovered.data());
                if (rc == 0 && !constantTimeEqual(expected.data(), recovered.data(), k_)) {
                    rc = -1;
                }
            }
        }
        return rc == 0 ? CKR_OK : CKR_SIGNATURE_INVALID;
    }

private:
    std::shared_ptr<RsaContext> rsa_;
    Family family_;
    mbedtls_md_type_t hash_;  // of the hash-and-sign mechanisms
    PssSpec pss_;
    Rng rng_;
    size_t k_;
};

}  // namespace

Rv makeRsaCipher(const MechanismInfo& m, const DeviceMechanism& dm, const Object& key, bool encrypt,
                 Rng rng, std::unique_ptr<CipherOperation>* out) {
    OaepSpec oaep;
    if (m.family == Family::RsaOaep) {
        const Rv rv = oaepSpec(dm, &oaep);
        if (rv != CKR_OK) {
            return rv;
        }
    }
    std::shared_ptr<RsaContext> rsa;
    const Rv rv = loadKey(key, !encrypt, &rsa);
    if (rv != CKR_OK) {
        return rv;
    }
    if (m.family == Family::RsaOaep &&
        2 * hashSize(oaep.hash) + 2 >= mbedtls_rsa_get_len(rsa->get())) {
        return CKR_KEY_SIZE_RANGE;
    }
    *out = std::make_unique<RsaCipher>(std::move(rsa), m.family, encrypt, std::move(oaep), rng);
    return CKR_OK;
}

Rv makeRsaSigner(const MechanismInfo& m, const DeviceMechanism& dm, const Object& key, bool sign,
                 Rng rng, std::unique_ptr<SignOperation>* out) {
    std::shared_ptr<RsaContext> rsa;
    Rv rv = loadKey(key, sign, &rsa);
    if (rv != CKR_OK) {
        return rv;
    }
    PssSpec pss;
    if (m.family == Family::RsaPss || m.family == Family::RsaPssHash) {
        rv = pssSpec(m, dm, mbedtls_rsa_get_len(rsa->get()), &pss);
        if (rv != CKR_OK) {
            return rv;
        }
    }
    auto signer = std::make_unique<RsaSigner>(std::move(rsa), m, pss, rng);
    rv = signer->start(m);
    if (rv != CKR_OK) {
        return rv;
    }
    *out = std::move(signer);
    return CKR_OK;
}

}  // namespace vexa::sim::crypto
