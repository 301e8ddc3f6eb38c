#include "pkcs11/mechanisms.h"

#include <iterator>

namespace vexa::pkcs11 {
namespace {

constexpr CK_MECHANISM_TYPE kList[] = {
    CKM_SHA_1,
    CKM_SHA224,
    CKM_SHA256,
    CKM_SHA384,
    CKM_SHA512,
    CKM_SHA_1_HMAC,
    CKM_SHA224_HMAC,
    CKM_SHA256_HMAC,
    CKM_SHA384_HMAC,
    CKM_SHA512_HMAC,
    CKM_RSA_PKCS_KEY_PAIR_GEN,
    CKM_RSA_PKCS,
    CKM_RSA_X_509,
    CKM_MD5_RSA_PKCS,
    CKM_SHA1_RSA_PKCS,
    CKM_RSA_PKCS_OAEP,
    CKM_SHA224_RSA_PKCS,
    CKM_SHA256_RSA_PKCS,
    CKM_SHA384_RSA_PKCS,
    CKM_SHA512_RSA_PKCS,
    // Raw PSS over a hash the caller made: what TLS 1.3 signs with.
    CKM_RSA_PKCS_PSS,
    CKM_SHA1_RSA_PKCS_PSS,
    CKM_SHA224_RSA_PKCS_PSS,
    CKM_SHA256_RSA_PKCS_PSS,
    CKM_SHA384_RSA_PKCS_PSS,
    CKM_SHA512_RSA_PKCS_PSS,
    CKM_DES_KEY_GEN,
    CKM_DES3_KEY_GEN,
    CKM_DES_ECB,
    CKM_DES_CBC,
    CKM_DES_CBC_PAD,
    CKM_DES3_ECB,
    CKM_DES3_CBC,
    CKM_DES3_CBC_PAD,
    CKM_DES3_ECB_ENCRYPT_DATA,
    CKM_DES3_CBC_ENCRYPT_DATA,
    CKM_AES_KEY_GEN,
    CKM_AES_ECB,
    CKM_AES_CBC,
    CKM_AES_CBC_PAD,
    CKM_AES_CTR,
    CKM_AES_KEY_WRAP,
    CKM_AES_ECB_ENCRYPT_DATA,
    CKM_AES_CBC_ENCRYPT_DATA,
    CKM_DSA_PARAMETER_GEN,
    CKM_DSA_KEY_PAIR_GEN,
    CKM_DSA,
    CKM_DSA_SHA1,
    CKM_DSA_SHA224,
    CKM_DSA_SHA256,
    CKM_DSA_SHA384,
    CKM_DSA_SHA512,
    CKM_DH_PKCS_KEY_PAIR_GEN,
    CKM_DH_PKCS_PARAMETER_GEN,
    CKM_DH_PKCS_DERIVE,
    CKM_EC_KEY_PAIR_GEN,
    CKM_ECDSA,
    CKM_ECDH1_DERIVE,
};
static_assert(std::size(kList) == 58);

// Flag sets shared by several rows.
constexpr CK_FLAGS kKeyPairGen = CKF_HW | CKF_GENERATE_KEY_PAIR;
constexpr CK_FLAGS kSignVerify = CKF_HW | CKF_SIGN | CKF_VERIFY;
constexpr CK_FLAGS kCipher = CKF_HW | CKF_ENCRYPT | CKF_DECRYPT;
constexpr CK_FLAGS kGenerate = CKF_HW | CKF_GENERATE;
constexpr CK_FLAGS kDigest = CKF_HW | CKF_DIGEST;
constexpr CK_FLAGS kDerive = CKF_HW | CKF_DERIVE;
constexpr CK_FLAGS kEcCurves = CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS;

// The maximum of RSA key-pair generation on a Vexa device; a Dorvik device
// stops at kDorvikRsaMax.
constexpr CK_ULONG kRsaMax = 4096;
constexpr CK_ULONG kDorvikRsaMax = 2048;

struct Row {
    CK_MECHANISM_TYPE type;
    CK_ULONG min;
    CK_ULONG max;
    CK_FLAGS flags;
};

constexpr Row kInfo[] = {
    {CKM_RSA_PKCS_KEY_PAIR_GEN, 1024, kRsaMax, kKeyPairGen},
    {CKM_RSA_PKCS, 1024, 4096, kCipher | CKF_SIGN | CKF_VERIFY | CKF_WRAP | CKF_UNWRAP},
    {CKM_RSA_X_509, 1024, 4096, kCipher | CKF_SIGN | CKF_VERIFY},
    {CKM_MD5_RSA_PKCS, 1024, 4096, kSignVerify},
    {CKM_SHA1_RSA_PKCS, 1024, 4096, kSignVerify},
    {CKM_RSA_PKCS_PSS, 1024, 4096, kSignVerify},
    {CKM_SHA1_RSA_PKCS_PSS, 1024, 4096, kSignVerify},
    {CKM_SHA256_RSA_PKCS, 1024, 4096, kSignVerify},
    {CKM_SHA384_RSA_PKCS, 1024, 4096, kSignVerify},
    {CKM_SHA512_RSA_PKCS, 1024, 4096, kSignVerify},
    {CKM_SHA256_RSA_PKCS_PSS, 1024, 4096, kSignVerify},
    {CKM_SHA384_RSA_PKCS_PSS, 1024, 4096, kSignVerify},
    {CKM_SHA512_RSA_PKCS_PSS, 1024, 4096, kSignVerify},
    {CKM_SHA224_RSA_PKCS, 1024, 4096, kSignVerify},
    {CKM_SHA224_RSA_PKCS_PSS, 1024, 4096, kSignVerify},
    {CKM_RSA_PKCS_OAEP, 1024, 4096, kCipher | CKF_WRAP | CKF_UNWRAP},
    {CKM_DSA_KEY_PAIR_GEN, 1024, 2048, kKeyPairGen},
    {CKM_DH_PKCS_KEY_PAIR_GEN, 1024, 2048, kKeyPairGen},
    {CKM_DSA, 1024, 2048, kSignVerify},
    {CKM_DSA_SHA1, 1024, 2048, kSignVerify},
    {CKM_DSA_SHA224, 1024, 2048, kSignVerify},
    {CKM_DSA_SHA256, 1024, 2048, kSignVerify},
    {CKM_DSA_SHA384, 1024, 2048, kSignVerify},
    {CKM_DSA_SHA512, 1024, 2048, kSignVerify},
    {CKM_DH_PKCS_DERIVE, 1024, 2048, kDerive},
    {CKM_DSA_PARAMETER_GEN, 1024, 2048, CKF_GENERATE},
    {CKM_DH_PKCS_PARAMETER_GEN, 1024, 2048, kGenerate},
    {CKM_DES_KEY_GEN, 0, 0, kGenerate},
    {CKM_DES2_KEY_GEN, 0, 0, kGenerate},
    {CKM_DES3_KEY_GEN, 0, 0, kGenerate},
    {CKM_DES_ECB, 0, 0, kCipher},
    {CKM_DES_CBC, 0, 0, kCipher},
    {CKM_DES_CBC_PAD, 0, 0, kCipher},
    {CKM_DES3_ECB, 0, 0, kCipher},
    {CKM_DES3_CBC, 0, 0, kCipher},
    {CKM_DES3_CBC_PAD, 0, 0, kCipher},
    {CKM_MD5, 0, 0, kDigest},
    {CKM_SHA_1, 0, 0, kDigest},
    {CKM_SHA224, 0, 0, kDigest},
    {CKM_SHA256, 0, 0, kDigest},
    {CKM_SHA384, 0, 0, kDigest},
    {CKM_SHA512, 0, 0, kDigest},
    {CKM_MD5_HMAC, 16, 512, kSignVerify},
    {CKM_SHA_1_HMAC, 20, 512, kSignVerify},
    {CKM_SHA224_HMAC, 28, 512, kSignVerify},
    {CKM_SHA256_HMAC, 32, 512, kSignVerify},
    {CKM_SHA384_HMAC, 48, 512, kSignVerify},
    {CKM_SHA512_HMAC, 64, 512, kSignVerify},
    {CKM_EC_KEY_PAIR_GEN, 192, 521, kKeyPairGen | kEcCurves},
    {CKM_ECDSA, 192, 521, kSignVerify | kEcCurves},
    {CKM_ECDH1_DERIVE, 192, 521, kDerive},
    {CKM_AES_KEY_GEN, 16, 32, kGenerate},
    {CKM_AES_ECB, 16, 32, kCipher},
    {CKM_AES_CBC, 16, 32, kCipher},
    {CKM_AES_CBC_PAD, 16, 32, kCipher},
    {CKM_AES_CTR, 16, 32, kCipher},
    {CKM_AES_CMAC, 16, 32, kSignVerify},
    {CKM_DES_ECB_ENCRYPT_DATA, 0, 0, kDerive},
    {CKM_DES_CBC_ENCRYPT_DATA, 0, 0, kDerive},
    {CKM_DES3_ECB_ENCRYPT_DATA, 0, 0, kDerive},
    {CKM_DES3_CBC_ENCRYPT_DATA, 0, 0, kDerive},
    {CKM_AES_ECB_ENCRYPT_DATA, 0, 0, kDerive},
    {CKM_AES_CBC_ENCRYPT_DATA, 0, 0, kDerive},
    {CKM_AES_KEY_WRAP, 16, 0x80000000, CKF_HW | CKF_WRAP | CKF_UNWRAP},
};

}  // namespace

const CK_MECHANISM_TYPE* mechanismList(size_t& count) {
    count = std::size(kList);
    return kList;
}

std::optional<CK_MECHANISM_INFO> mechanismInfo(CK_MECHANISM_TYPE type, bool dorvikDevice) {
    for (const Row& row : kInfo) {
        if (row.type == type) {
            CK_MECHANISM_INFO info{row.min, row.max, row.flags};
            if (type == CKM_RSA_PKCS_KEY_PAIR_GEN && dorvikDevice) {
                info.ulMaxKeySize = kDorvikRsaMax;
            }
            return info;
        }
    }
    return std::nullopt;
}

}  // namespace vexa::pkcs11
