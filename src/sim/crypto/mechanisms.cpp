#include "sim/crypto/mechanisms.h"

#include <p11-kit/pkcs11.h>

namespace vexa::sim::crypto {
namespace {

constexpr uint16_t kCipher = kOpEncrypt | kOpDecrypt;
constexpr uint16_t kSigner = kOpSign | kOpVerify;
constexpr uint16_t kKeyWrap = kOpWrap | kOpUnwrap;
constexpr uint32_t kNoKey = 0xFFFFFFFFu;

constexpr MechanismInfo kMechanisms[] = {
    {CKM_MD5, kOpDigest, Family::Digest, kNoKey, MBEDTLS_MD_MD5},
    {CKM_SHA_1, kOpDigest, Family::Digest, kNoKey, MBEDTLS_MD_SHA1},
    {CKM_SHA224, kOpDigest, Family::Digest, kNoKey, MBEDTLS_MD_SHA224},
    {CKM_SHA256, kOpDigest, Family::Digest, kNoKey, MBEDTLS_MD_SHA256},
    {CKM_SHA384, kOpDigest, Family::Digest, kNoKey, MBEDTLS_MD_SHA384},
    {CKM_SHA512, kOpDigest, Family::Digest, kNoKey, MBEDTLS_MD_SHA512},

    {CKM_MD5_HMAC, kSigner, Family::Hmac, CKK_GENERIC_SECRET, MBEDTLS_MD_MD5},
    {CKM_SHA_1_HMAC, kSigner, Family::Hmac, CKK_GENERIC_SECRET, MBEDTLS_MD_SHA1},
    {CKM_SHA224_HMAC, kSigner, Family::Hmac, CKK_GENERIC_SECRET, MBEDTLS_MD_SHA224},
    {CKM_SHA256_HMAC, kSigner, Family::Hmac, CKK_GENERIC_SECRET, MBEDTLS_MD_SHA256},
    {CKM_SHA384_HMAC, kSigner, Family::Hmac, CKK_GENERIC_SECRET, MBEDTLS_MD_SHA384},
    {CKM_SHA512_HMAC, kSigner, Family::Hmac, CKK_GENERIC_SECRET, MBEDTLS_MD_SHA512},
    {CKM_AES_CMAC, kSigner, Family::Cmac, CKK_AES, MBEDTLS_MD_NONE},

    {CKM_RSA_PKCS, kCipher | kSigner | kKeyWrap, Family::RsaPkcs, CKK_RSA, MBEDTLS_MD_NONE},
    {CKM_RSA_X_509, kCipher | kSigner, Family::RsaX509, CKK_RSA, MBEDTLS_MD_NONE},
    {CKM_RSA_PKCS_OAEP, kCipher | kKeyWrap, Family::RsaOaep, CKK_RSA, MBEDTLS_MD_NONE},
    {CKM_RSA_PKCS_PSS, kSigner, Family::RsaPss, CKK_RSA, MBEDTLS_MD_NONE},
    {CKM_MD5_RSA_PKCS, kSigner, Family::RsaPkcsHash, CKK_RSA, MBEDTLS_MD_MD5},
    {CKM_SHA1_RSA_PKCS, kSigner, Family::RsaPkcsHash, CKK_RSA, MBEDTLS_MD_SHA1},
    {CKM_SHA224_RSA_PKCS, kSigner, Family::RsaPkcsHash, CKK_RSA, MBEDTLS_MD_SHA224},
    {CKM_SHA256_RSA_PKCS, kSigner, Family::RsaPkcsHash, CKK_RSA, MBEDTLS_MD_SHA256},
    {CKM_SHA384_RSA_PKCS, kSigner, Family::RsaPkcsHash, CKK_RSA, MBEDTLS_MD_SHA384},
    {CKM_SHA512_RSA_PKCS, kSigner, Family::RsaPkcsHash, CKK_RSA, MBEDTLS_MD_SHA512},
    {CKM_SHA1_RSA_PKCS_PSS, kSigner, Family::RsaPssHash, CKK_RSA, MBEDTLS_MD_SHA1},
    {CKM_SHA224_RSA_PKCS_PSS, kSigner, Family::RsaPssHash, CKK_RSA, MBEDTLS_MD_SHA224},
    {CKM_SHA256_RSA_PKCS_PSS, kSigner, Family::RsaPssHash, CKK_RSA, MBEDTLS_MD_SHA256},
    {CKM_SHA384_RSA_PKCS_PSS, kSigner, Family::RsaPssHash, CKK_RSA, MBEDTLS_MD_SHA384},
    {CKM_SHA512_RSA_PKCS_PSS, kSigner, Family::RsaPssHash, CKK_RSA, MBEDTLS_MD_SHA512},

    {CKM_ECDSA, kSigner, Family::Ecdsa, CKK_EC, MBEDTLS_MD_NONE},
    {CKM_ECDSA_SHA1, kSigner, Family::EcdsaHash, CKK_EC, MBEDTLS_MD_SHA1},
    {CKM_ECDSA_SHA224, kSigner, Family::EcdsaHash, CKK_EC, MBEDTLS_MD_SHA224},
    {CKM_ECDSA_SHA256, kSigner, Family::EcdsaHash, CKK_EC, MBEDTLS_MD_SHA256},
    {CKM_ECDSA_SHA384, kSigner, Family::EcdsaHash, CKK_EC, MBEDTLS_MD_SHA384},
    {CKM_ECDSA_SHA512, kSigner, Family::EcdsaHash, CKK_EC, MBEDTLS_MD_SHA512},
    {CKM_ECDH1_DERIVE, kOpDerive, Family::Ecdh, CKK_EC, MBEDTLS_MD_NONE},

    {CKM_AES_ECB, kCipher, Family::AesEcb, CKK_AES, MBEDTLS_MD_NONE},
    {CKM_AES_CBC, kCipher, Family::AesCbc, CKK_AES, MBEDTLS_MD_NONE},
    {CKM_AES_CBC_PAD, kCipher, Family::AesCbcPad, CKK_AES, MBEDTLS_MD_NONE},
    {CKM_AES_CTR, kCipher, Family::AesCtr, CKK_AES, MBEDTLS_MD_NONE},
    {CKM_AES_KEY_WRAP, kCipher | kKeyWrap, Family::AesKeyWrap, CKK_AES, MBEDTLS_MD_NONE},
    {CKM_DES3_ECB, kCipher, Family::Des3Ecb, CKK_DES3, MBEDTLS_MD_NONE},
    {CKM_DES3_CBC, kCipher, Family::Des3Cbc, CKK_DES3, MBEDTLS_MD_NONE},
    {CKM_DES3_CBC_PAD, kCipher, Family::Des3CbcPad, CKK_DES3, MBEDTLS_MD_NONE},
    {CKM_DES_ECB, kCipher, Family::DesEcb, CKK_DES, MBEDTLS_MD_NONE},
    {CKM_DES_CBC, kCipher, Family::DesCbc, CKK_DES, MBEDTLS_MD_NONE},
    {CKM_DES_CBC_PAD, kCipher, Family::DesCbcPad, CKK_DES, MBEDTLS_MD_NONE},

    {CKM_DSA, kSigner, Family::Dsa, CKK_DSA, MBEDTLS_MD_NONE},
    {CKM_DSA_SHA1, kSigner, Family::DsaHash, CKK_DSA, MBEDTLS_MD_SHA1},
    {CKM_DSA_SHA224, kSigner, Family::DsaHash, CKK_DSA, MBEDTLS_MD_SHA224},
    {CKM_DSA_SHA256, kSigner, Family::DsaHash, CKK_DSA, MBEDTLS_MD_SHA256},
    {CKM_DSA_SHA384, kSigner, Family::DsaHash, CKK_DSA, MBEDTLS_MD_SHA384},
    {CKM_DSA_SHA512, kSigner, Family::DsaHash, CKK_DSA, MBEDTLS_MD_SHA512},
    {CKM_DH_PKCS_DERIVE, kOpDerive, Family::DhDerive, CKK_DH, MBEDTLS_MD_NONE},

    // Derivation by encryption: the base key's type, the cipher mode.
    {CKM_DES_ECB_ENCRYPT_DATA, kOpDerive, Family::EncryptDataEcb, CKK_DES, MBEDTLS_MD_NONE},
    {CKM_DES_CBC_ENCRYPT_DATA, kOpDerive, Family::EncryptDataCbc, CKK_DES, MBEDTLS_MD_NONE},
    {CKM_DES3_ECB_ENCRYPT_DATA, kOpDerive, Family::EncryptDataEcb, CKK_DES3, MBEDTLS_MD_NONE},
    {CKM_DES3_CBC_ENCRYPT_DATA, kOpDerive, Family::EncryptDataCbc, CKK_DES3, MBEDTLS_MD_NONE},
    {CKM_AES_ECB_ENCRYPT_DATA, kOpDerive, Family::EncryptDataEcb, CKK_AES, MBEDTLS_MD_NONE},
    {CKM_AES_CBC_ENCRYPT_DATA, kOpDerive, Family::EncryptDataCbc, CKK_AES, MBEDTLS_MD_NONE},

    {CKM_RSA_PKCS_KEY_PAIR_GEN, kOpGeneratePair, Family::RsaKeyGen, CKK_RSA, MBEDTLS_MD_NONE},
    {CKM_EC_KEY_PAIR_GEN, kOpGeneratePair, Family::EcKeyGen, CKK_EC, MBEDTLS_MD_NONE},
    {CKM_AES_KEY_GEN, kOpGenerate, Family::AesKeyGen, CKK_AES, MBEDTLS_MD_NONE},
    {CKM_DES3_KEY_GEN, kOpGenerate, Family::Des3KeyGen, CKK_DES3, MBEDTLS_MD_NONE},
    {CKM_DES2_KEY_GEN, kOpGenerate, Family::Des3KeyGen, CKK_DES2, MBEDTLS_MD_NONE},
    {CKM_DES_KEY_GEN, kOpGenerate, Family::DesKeyGen, CKK_DES, MBEDTLS_MD_NONE},
    {CKM_DSA_KEY_PAIR_GEN, kOpGeneratePair, Family::DsaKeyGen, CKK_DSA, MBEDTLS_MD_NONE},
    {CKM_DH_PKCS_KEY_PAIR_GEN, kOpGeneratePair, Family::DhKeyGen, CKK_DH, MBEDTLS_MD_NONE},
    {CKM_DSA_PARAMETER_GEN, kOpGenerate, Family::DsaParameterGen, CKK_DSA, MBEDTLS_MD_NONE},
    {CKM_DH_PKCS_PARAMETER_GEN, kOpGenerate, Family::DhParameterGen, CKK_DH, MBEDTLS_MD_NONE},
    {CKM_GENERIC_SECRET_KEY_GEN, kOpGenerate, Family::GenericKeyGen, CKK_GENERIC_SECRET,
     MBEDTLS_MD_NONE},
};

struct HashName {
    uint32_t ckm;
    uint32_t mgf;
    mbedtls_md_type_t md;
};
constexpr HashName kHashes[] = {
    {CKM_MD5, 0, MBEDTLS_MD_MD5},
    {CKM_SHA_1, CKG_MGF1_SHA1, MBEDTLS_MD_SHA1},
    {CKM_SHA224, CKG_MGF1_SHA224, MBEDTLS_MD_SHA224},
    {CKM_SHA256, CKG_MGF1_SHA256, MBEDTLS_MD_SHA256},
    {CKM_SHA384, CKG_MGF1_SHA384, MBEDTLS_MD_SHA384},
    {CKM_SHA512, CKG_MGF1_SHA512, MBEDTLS_MD_SHA512},
};

}  // namespace

const MechanismInfo* findMechanism(uint32_t type) {
    for (const MechanismInfo& m : kMechanisms) {
        if (m.type == type) {
            return &m;
        }
    }
    return nullptr;
}

Rv mechanismFor(uint32_t type, OpFlag op, const MechanismInfo** out) {
    const MechanismInfo* m = findMechanism(type);
    if (m == nullptr || (m->ops & op) == 0) {
        return CKR_MECHANISM_INVALID;
    }
    *out = m;
    return CKR_OK;
}

mbedtls_md_type_t hashOfMechanism(uint32_t ckm) {
    for (const HashName& h : kHashes) {
        if (h.ckm == ckm) {
            return h.md;
        }
    }
    return MBEDTLS_MD_NONE;
}

mbedtls_md_type_t hashOfMgf(uint32_t ckg) {
    for (const HashName& h : kHashes) {
        if (h.mgf != 0 && h.mgf == ckg) {
            return h.md;
        }
    }
    return MBEDTLS_MD_NONE;
}

bool readUlongs(const Bytes& block, size_t count, size_t extra, uint32_t* out) {
    if (block.size() != count * 4 + extra) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        out[i] = readLe32(block.data() + i * 4);
    }
    return true;
}

const Bytes& parameterOf(const DeviceMechanism& m) {
    static const Bytes kNone;
    return m.parameter ? *m.parameter : kNone;
}

}  // namespace vexa::sim::crypto
