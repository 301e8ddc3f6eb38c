#include "integration/pkcs11/openssl_check.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>
#include <openssl/rsa.h>

#include <memory>

namespace vexa::test::ossl {
namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;

PkeyPtr fromParams(const char* type, OSSL_PARAM_BLD* builder) {
    ParamPtr params(OSSL_PARAM_BLD_to_param(builder));
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0) {
        return nullptr;
    }
    return PkeyPtr(key);
}

PkeyPtr rsaKey(const RsaPublic& key) {
    BnPtr n(BN_bin2bn(key.modulus.data(), static_cast<int>(key.modulus.size()), nullptr));
    BnPtr e(BN_bin2bn(key.exponent.data(), static_cast<int>(key.exponent.size()), nullptr));
    ParamBldPtr builder(OSSL_PARAM_BLD_new());
    if (!n || !e || !builder ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get())) {
        return nullptr;
    }
    return fromParams("RSA", builder.get());
}

PkeyPtr ecKey(const std::string& group, const Bytes& point) {
    ParamBldPtr builder(OSSL_PARAM_BLD_new());
    if (!builder ||
        !OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, group.c_str(),
                                         0) ||
        !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                          point.size())) {
        return nullptr;
    }
    return fromParams("EC", builder.get());
}

bool digestVerify(EVP_PKEY* key, const std::string& digest, int padding, const Bytes& data,
                  const Bytes& signature) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (key == nullptr || !ctx ||
        EVP_DigestVerifyInit_ex(ctx.get(), &pctx, digest.c_str(), nullptr, nullptr, key, nullptr) <=
            0 ||
        EVP_PKEY_CTX_set_rsa_padding(pctx, padding) <= 0) {
        return false;
    }
    if (padding == RSA_PKCS1_PSS_PADDING &&
        EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST) <= 0) {
        return false;
    }
    return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), data.data(),
                            data.size()) == 1;
}

Bytes rsaEncrypt(const RsaPublic& key, int padding, const std::string& digest, const Bytes& plain) {
    PkeyPtr pkey = rsaKey(key);
    if (!pkey) {
        return {};
    }
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(pkey.get(), nullptr));
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) <= 0) {
        return {};
    }
    if (padding == RSA_PKCS1_OAEP_PADDING &&
        (EVP_PKEY_CTX_set_rsa_oaep_md_name(ctx.get(), digest.c_str(), nullptr) <= 0 ||
         EVP_PKEY_CTX_set_rsa_mgf1_md_name(ctx.get(), digest.c_str(), nullptr) <= 0)) {
        return {};
    }
    size_t length = 0;
    if (EVP_PKEY_encrypt(ctx.get(), nullptr, &length, plain.data(), plain.size()) <= 0) {
        return {};
    }
    Bytes out(length);
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &length, plain.data(), plain.size()) <= 0) {
        return {};
    }
    out.resize(length);
    return out;
}

Bytes runCipher(const std::string& name, const Bytes& key, const Bytes& iv, const Bytes& in,
                bool pad, int encrypt) {
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name.c_str(), nullptr);
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    Bytes out(in.size() + 32);
    int written = 0;
    int last = 0;
    const bool ok = cipher != nullptr && ctx &&
                    EVP_CipherInit_ex2(ctx.get(), cipher, key.data(),
                                       iv.empty() ? nullptr : iv.data(), encrypt, nullptr) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx.get(), pad ? 1 : 0) == 1 &&
                    EVP_CipherUpdate(ctx.get(), out.data(), &written, in.data(),
                                     static_cast<int>(in.size())) == 1 &&
                    EVP_CipherFinal_ex(ctx.get(), out.data() + written, &last) == 1;
    EVP_CIPHER_free(cipher);
    if (!ok) {
        return {};
    }
    out.resize(static_cast<size_t>(written + last));
    return out;
}

}  // namespace

Bytes Digest(const std::string& name, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_MD* md = EVP_MD_fetch(nullptr, name.c_str(), nullptr);
    const bool ok = md != nullptr &&
                    EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) == 1;
    EVP_MD_free(md);
    out.resize(ok ? length : 0);
    return out;
}

Bytes Hmac(const std::string& digest, const Bytes& key, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    size_t length = 0;
    if (EVP_Q_mac(nullptr, "HMAC", nullptr, digest.c_str(), nullptr, key.data(), key.size(),
                  data.data(), data.size(), out.data(), out.size(), &length) == nullptr) {
        return {};
    }
    out.resize(length);
    return out;
}

bool RsaVerifyPkcs1(const RsaPublic& key, const std::string& digest, const Bytes& data,
                    const Bytes& signature) {
    PkeyPtr pkey = rsaKey(key);
    return digestVerify(pkey.get(), digest, RSA_PKCS1_PADDING, data, signature);
}

bool RsaVerifyPss(const RsaPublic& key, const std::string& digest, const Bytes& data,
                  const Bytes& signature) {
    PkeyPtr pkey = rsaKey(key);
    return digestVerify(pkey.get(), digest, RSA_PKCS1_PSS_PADDING, data, signature);
}

Bytes RsaRecoverPkcs1(const RsaPublic& key, const Bytes& signature) {
    PkeyPtr pkey = rsaKey(key);
    if (!pkey) {
        return {};
    }
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(pkey.get(), nullptr));
    Bytes out(signature.size());
    size_t length = out.size();
    if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_verify_recover(ctx.get(), out.data(), &length, signature.data(),
                                signature.size()) <= 0) {
        return {};
    }
    out.resize(length);
    return out;
}

Bytes RsaEncryptPkcs1(const RsaPublic& key, const Bytes& plain) {
    return rsaEncrypt(key, RSA_PKCS1_PADDING, "", plain);
}

Bytes RsaEncryptOaep(const RsaPublic& key, const std::string& digest, const Bytes& plain) {
    return rsaEncrypt(key, RSA_PKCS1_OAEP_PADDING, digest, plain);
}

bool EcdsaVerifyHash(const std::string& group, const Bytes& point, const Bytes& hash,
                     const Bytes& rs) {
    PkeyPtr pkey = ecKey(group, point);
    EcdsaSigPtr sig(ECDSA_SIG_new());
    if (!pkey || !sig || rs.empty() || rs.size() % 2 != 0) {
        return false;
    }
    const int half = static_cast<int>(rs.size() / 2);
    BIGNUM* r = BN_bin2bn(rs.data(), half, nullptr);
    BIGNUM* s = BN_bin2bn(rs.data() + half, half, nullptr);
    if (r == nullptr || s == nullptr || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(pkey.get(), nullptr));
    const bool ok = derLength > 0 && ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
                    EVP_PKEY_verify(ctx.get(), der, static_cast<size_t>(derLength), hash.data(),
                                    hash.size()) == 1;
    OPENSSL_free(der);
    return ok;
}

Bytes Encrypt(const std::string& cipher, const Bytes& key, const Bytes& iv, const Bytes& plain,
              bool pad) {
    return runCipher(cipher, key, iv, plain, pad, 1);
}

Bytes Decrypt(const std::string& cipher, const Bytes& key, const Bytes& iv, const Bytes& cipherText,
              bool pad) {
    return runCipher(cipher, key, iv, cipherText, pad, 0);
}

Bytes EcPublicDer(const std::string& group, const Bytes& point) {
    PkeyPtr pkey = ecKey(group, point);
    unsigned char* der = nullptr;
    const int length = pkey ? i2d_PUBKEY(pkey.get(), &der) : 0;
    Bytes out;
    if (length > 0) {
        out.assign(der, der + length);
    }
    OPENSSL_free(der);
    return out;
}

}  // namespace vexa::test::ossl
