// Digests, signatures, encryption and decryption through the built module
// on a real device stack, each result checked by OpenSSL's libcrypto:
// digests recomputed, signatures verified with the public key read back
// through C_GetAttributeValue, ciphertexts decrypted with the known key,
// and the device's decryption of OpenSSL's ciphertexts.
#include "integration/pkcs11/crypto_suite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "integration/pkcs11/openssl_check.h"
#include "integration/tls/test_env.h"
#include "support/child_process.h"

namespace vexa::test {
namespace {

using ossl::Bytes;

CK_UTF8CHAR* utf8(const char* text) {
    return reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(text));
}

Bytes pattern(size_t size, uint8_t seed) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
    }
    return data;
}

class CryptoSuite : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = SuiteModule();
        ASSERT_NE(module_, nullptr);
        ASSERT_TRUE(module_->loaded()) << module_->error();
        ASSERT_EQ(p11().C_Initialize(nullptr), CKR_OK);
        initialised_ = true;
        ASSERT_EQ(p11().C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                      &session_),
                  CKR_OK);
        ASSERT_EQ(p11().C_Login(session_, CKU_USER, utf8("123456"), 6), CKR_OK);
    }
    void TearDown() override {
        // Finalizing ends the sessions and frees the daemon for the next client.
        if (initialised_) {
            EXPECT_EQ(p11().C_Finalize(nullptr), CKR_OK);
        }
    }

    CK_FUNCTION_LIST& p11() { return **module_; }

    Bytes digest(CK_MECHANISM_TYPE type, const Bytes& data) {
        CK_MECHANISM mechanism{type, nullptr, 0};
        EXPECT_EQ(p11().C_DigestInit(session_, &mechanism), CKR_OK);
        Bytes out(64);
        CK_ULONG length = out.size();
        EXPECT_EQ(p11().C_Digest(session_, const_cast<CK_BYTE*>(data.data()), data.size(),
                                 out.data(), &length),
                  CKR_OK);
        out.resize(length);
        return out;
    }

    // One attribute's bytes, through C_GetAttributeValue's size query.
    Bytes attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE query{type, nullptr, 0};
        EXPECT_EQ(p11().C_GetAttributeValue(session_, object, &query, 1), CKR_OK);
        Bytes value(query.ulValueLen);
        query.pValue = value.data();
        EXPECT_EQ(p11().C_GetAttributeValue(session_, object, &query, 1), CKR_OK);
        value.resize(query.ulValueLen);
        return value;
    }

    struct KeyPair {
        CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
        CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
    };

    // Session keys: nothing reaches the token.
    KeyPair generatePair(CK_MECHANISM_TYPE type, std::vector<CK_ATTRIBUTE> publicTemplate) {
        static CK_BBOOL yes = CK_TRUE;
        static CK_BBOOL no = CK_FALSE;
        const CK_ATTRIBUTE usage[] = {
            {CKA_TOKEN, &no, 1}, {CKA_VERIFY, &yes, 1}, {CKA_ENCRYPT, &yes, 1}};
        publicTemplate.insert(publicTemplate.end(), std::begin(usage), std::end(usage));
        CK_ATTRIBUTE privateTemplate[] = {{CKA_TOKEN, &no, 1},
                                          {CKA_SIGN, &yes, 1},
                                          {CKA_DECRYPT, &yes, 1},
                                          {CKA_SENSITIVE, &yes, 1}};
        CK_MECHANISM mechanism{type, nullptr, 0};
        KeyPair pair;
        EXPECT_EQ(
            p11().C_GenerateKeyPair(session_, &mechanism, publicTemplate.data(),
                                    publicTemplate.size(), privateTemplate,
                                    std::size(privateTemplate), &pair.publicKey, &pair.privateKey),
            CKR_OK);
        return pair;
    }

    KeyPair generateRsa(CK_ULONG bits) {
        static CK_BYTE exponent[] = {1, 0, 1};
        modulusBits_ = bits;
        return generatePair(CKM_RSA_PKCS_KEY_PAIR_GEN,
                            {{CKA_MODULUS_BITS, &modulusBits_, sizeof modulusBits_},
                             {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent}});
    }

    KeyPair generateEc(const Bytes& curveOid) {
        curve_ = curveOid;
        return generatePair(CKM_EC_KEY_PAIR_GEN, {{CKA_EC_PARAMS, curve_.data(), curve_.size()}});
    }

    ossl::RsaPublic rsaPublic(CK_OBJECT_HANDLE key) {
        return {attribute(key, CKA_MODULUS), attribute(key, CKA_PUBLIC_EXPONENT)};
    }

    // The uncompressed point inside CKA_EC_POINT's DER OCTET STRING.
    Bytes ecPoint(CK_OBJECT_HANDLE key) {
        const Bytes der = attribute(key, CKA_EC_POINT);
        const size_t header = der.size() > 1 && der[1] == 0x81 ? 3 : 2;
        return der.size() > header ? Bytes(der.begin() + header, der.end()) : Bytes{};
    }

    // A secret key of known value, for the other side's check.
    CK_OBJECT_HANDLE createSecret(CK_KEY_TYPE keyType, const Bytes& value) {
        static CK_OBJECT_CLASS secret = CKO_SECRET_KEY;
        static CK_BBOOL yes = CK_TRUE;
        static CK_BBOOL no = CK_FALSE;
        keyType_ = keyType;
        CK_ATTRIBUTE templ[] = {
            {CKA_CLASS, &secret, sizeof secret},
            {CKA_KEY_TYPE, &keyType_, sizeof keyType_},
            {CKA_TOKEN, &no, 1},
            {CKA_VALUE, const_cast<uint8_t*>(value.data()), value.size()},
            {CKA_ENCRYPT, &yes, 1},
            {CKA_DECRYPT, &yes, 1},
            {CKA_SIGN, &yes, 1},
            {CKA_VERIFY, &yes, 1},
        };
        CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
        EXPECT_EQ(p11().C_CreateObject(session_, templ, std::size(templ), &key), CKR_OK);
        return key;
    }

    // One-part signature with the size query first.
    Bytes sign(CK_MECHANISM mechanism, CK_OBJECT_HANDLE key, const Bytes& data) {
        EXPECT_EQ(p11().C_SignInit(session_, &mechanism, key), CKR_OK);
        CK_ULONG length = 0;
        EXPECT_EQ(p11().C_Sign(session_, const_cast<uint8_t*>(data.data()), data.size(), nullptr,
                               &length),
                  CKR_OK);
        Bytes signature(length);
        EXPECT_EQ(p11().C_Sign(session_, const_cast<uint8_t*>(data.data()), data.size(),
                               signature.data(), &length),
                  CKR_OK);
        signature.resize(length);
        return signature;
    }

    // Multi-part signature: updates, then the final part's size query.
    Bytes signInParts(CK_MECHANISM mechanism, CK_OBJECT_HANDLE key, const Bytes& data) {
        EXPECT_EQ(p11().C_SignInit(session_, &mechanism, key), CKR_OK);
        const size_t half = data.size() / 2;
        EXPECT_EQ(p11().C_SignUpdate(session_, const_cast<uint8_t*>(data.data()), half), CKR_OK);
        EXPECT_EQ(p11().C_SignUpdate(session_, const_cast<uint8_t*>(data.data()) + half,
                                     data.size() - half),
                  CKR_OK);
        CK_ULONG length = 0;
        EXPECT_EQ(p11().C_SignFinal(session_, nullptr, &length), CKR_OK);
        Bytes signature(length);
        EXPECT_EQ(p11().C_SignFinal(session_, signature.data(), &length), CKR_OK);
        signature.resize(length);
        return signature;
    }

    CK_RV verify(CK_MECHANISM mechanism, CK_OBJECT_HANDLE key, const Bytes& data,
                 const Bytes& signature) {
        EXPECT_EQ(p11().C_VerifyInit(session_, &mechanism, key), CKR_OK);
        return p11().C_Verify(session_, const_cast<uint8_t*>(data.data()), data.size(),
                              const_cast<uint8_t*>(signature.data()), signature.size());
    }

    CK_RV verifyInParts(CK_MECHANISM mechanism, CK_OBJECT_HANDLE key, const Bytes& data,
                        const Bytes& signature) {
        EXPECT_EQ(p11().C_VerifyInit(session_, &mechanism, key), CKR_OK);
        EXPECT_EQ(p11().C_VerifyUpdate(session_, const_cast<uint8_t*>(data.data()), data.size()),
                  CKR_OK);
        return p11().C_VerifyFinal(session_, const_cast<uint8_t*>(signature.data()),
                                   signature.size());
    }

    // Encryption or decryption in one part, with the size query first.
    Bytes crypt(bool encrypt, CK_MECHANISM mechanism, CK_OBJECT_HANDLE key, const Bytes& in) {
        auto init = encrypt ? p11().C_EncryptInit : p11().C_DecryptInit;
        auto run = encrypt ? p11().C_Encrypt : p11().C_Decrypt;
        EXPECT_EQ(init(session_, &mechanism, key), CKR_OK);
        CK_ULONG length = 0;
        EXPECT_EQ(run(session_, const_cast<uint8_t*>(in.data()), in.size(), nullptr, &length),
                  CKR_OK);
        Bytes out(length);
        const CK_RV rv =
            run(session_, const_cast<uint8_t*>(in.data()), in.size(), out.data(), &length);
        EXPECT_EQ(rv, CKR_OK);
        out.resize(rv == CKR_OK ? length : 0);
        return out;
    }

    // The same in updates of at most `piece` bytes and a final part.
    Bytes cryptInParts(bool encrypt, CK_MECHANISM mechanism, CK_OBJECT_HANDLE key, const Bytes& in,
                       size_t piece) {
        auto init = encrypt ? p11().C_EncryptInit : p11().C_DecryptInit;
        auto update = encrypt ? p11().C_EncryptUpdate : p11().C_DecryptUpdate;
        auto final = encrypt ? p11().C_EncryptFinal : p11().C_DecryptFinal;
        EXPECT_EQ(init(session_, &mechanism, key), CKR_OK);
        Bytes out;
        CK_BYTE buffer[2048];
        for (size_t offset = 0; offset < in.size(); offset += piece) {
            const size_t n = std::min(piece, in.size() - offset);
            CK_ULONG length = sizeof buffer;
            EXPECT_EQ(
                update(session_, const_cast<uint8_t*>(in.data()) + offset, n, buffer, &length),
                CKR_OK);
            out.insert(out.end(), buffer, buffer + length);
        }
        CK_ULONG length = sizeof buffer;
        EXPECT_EQ(final(session_, buffer, &length), CKR_OK);
        out.insert(out.end(), buffer, buffer + length);
        return out;
    }

    CLoadedModule* module_ = nullptr;
    bool initialised_ = false;
    CK_ULONG modulusBits_ = 0;
    Bytes curve_;
    CK_KEY_TYPE keyType_ = 0;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
};

struct DigestCase {
    CK_MECHANISM_TYPE type;
    const char* name;
};
const DigestCase kDigests[] = {{CKM_SHA_1, "SHA1"},    {CKM_SHA224, "SHA224"},
                               {CKM_SHA256, "SHA256"}, {CKM_SHA384, "SHA384"},
                               {CKM_SHA512, "SHA512"}, {CKM_MD5, "MD5"}};

TEST_F(CryptoSuite, DigestsMatchOpenSslInOnePartAndInSeveral) {
    // 4500 bytes travel in three pieces.
    const Bytes data = pattern(4500, 1);
    for (const DigestCase& d : kDigests) {
        const Bytes expected = ossl::Digest(d.name, data);
        ASSERT_FALSE(expected.empty()) << d.name;
        EXPECT_EQ(digest(d.type, data), expected) << d.name;

        CK_MECHANISM mechanism{d.type, nullptr, 0};
        ASSERT_EQ(p11().C_DigestInit(session_, &mechanism), CKR_OK);
        ASSERT_EQ(p11().C_DigestUpdate(session_, const_cast<CK_BYTE*>(data.data()), 1000), CKR_OK);
        ASSERT_EQ(p11().C_DigestUpdate(session_, const_cast<CK_BYTE*>(data.data()) + 1000, 3500),
                  CKR_OK);
        CK_ULONG length = 0;
        ASSERT_EQ(p11().C_DigestFinal(session_, nullptr, &length), CKR_OK);
        EXPECT_EQ(length, expected.size()) << d.name;
        Bytes out(length);
        ASSERT_EQ(p11().C_DigestFinal(session_, out.data(), &length), CKR_OK);
        EXPECT_EQ(out, expected) << d.name;
    }
    EXPECT_EQ(digest(CKM_SHA256, {}), ossl::Digest("SHA256", {}));
}

TEST_F(CryptoSuite, DigestRetriedAfterTooSmallABufferDigestsTheDataOnce) {
    const Bytes data = pattern(300, 7);
    CK_MECHANISM mechanism{CKM_SHA256, nullptr, 0};
    ASSERT_EQ(p11().C_DigestInit(session_, &mechanism), CKR_OK);
    Bytes out(64);
    CK_ULONG length = 16;
    ASSERT_EQ(p11().C_Digest(session_, const_cast<CK_BYTE*>(data.data()), data.size(), out.data(),
                             &length),
              CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 32u);
    ASSERT_EQ(p11().C_Digest(session_, const_cast<CK_BYTE*>(data.data()), data.size(), out.data(),
                             &length),
              CKR_OK);
    out.resize(length);
    EXPECT_EQ(out, ossl::Digest("SHA256", data));
    // The operation ended with the digest.
    EXPECT_EQ(p11().C_DigestFinal(session_, out.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
}

// DigestInfo prefix of SHA-256 for raw PKCS#1 v1.5 signatures.
const Bytes kSha256DigestInfo = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

Bytes tampered(Bytes data) {
    data[data.size() / 2] ^= 0x01;
    return data;
}

TEST_F(CryptoSuite, RsaSignaturesVerifyWithTheExportedPublicKey) {
    const KeyPair rsa = generateRsa(2048);
    const ossl::RsaPublic key = rsaPublic(rsa.publicKey);
    ASSERT_EQ(key.modulus.size(), 256u);
    const Bytes data = pattern(4500, 3);

    // Hash-and-sign in one part and in pieces.
    const CK_MECHANISM sha256{CKM_SHA256_RSA_PKCS, nullptr, 0};
    const Bytes one = sign(sha256, rsa.privateKey, data);
    EXPECT_TRUE(ossl::RsaVerifyPkcs1(key, "SHA256", data, one));
    EXPECT_FALSE(ossl::RsaVerifyPkcs1(key, "SHA256", tampered(data), one));
    const CK_MECHANISM sha1{CKM_SHA1_RSA_PKCS, nullptr, 0};
    const Bytes parts = signInParts(sha1, rsa.privateKey, data);
    EXPECT_TRUE(ossl::RsaVerifyPkcs1(key, "SHA1", data, parts));

    // The device verifies its own signatures and rejects tampered data.
    EXPECT_EQ(verify(sha256, rsa.publicKey, data, one), CKR_OK);
    EXPECT_EQ(verify(sha256, rsa.publicKey, tampered(data), one), CKR_SIGNATURE_INVALID);
    EXPECT_EQ(verifyInParts(sha1, rsa.publicKey, data, parts), CKR_OK);
    EXPECT_EQ(verifyInParts(sha1, rsa.publicKey, tampered(data), parts), CKR_SIGNATURE_INVALID);

    // Raw PKCS#1 v1.5 over a DigestInfo, as clients that hash themselves use it.
    Bytes digestInfo = kSha256DigestInfo;
    const Bytes hash = ossl::Digest("SHA256", data);
    digestInfo.insert(digestInfo.end(), hash.begin(), hash.end());
    const CK_MECHANISM raw{CKM_RSA_PKCS, nullptr, 0};
    const Bytes rawSignature = sign(raw, rsa.privateKey, digestInfo);
    EXPECT_EQ(ossl::RsaRecoverPkcs1(key, rawSignature), digestInfo);
    EXPECT_TRUE(ossl::RsaVerifyPkcs1(key, "SHA256", data, rawSignature));
    EXPECT_EQ(verify(raw, rsa.publicKey, digestInfo, rawSignature), CKR_OK);

    // PSS with explicit parameters.
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    const CK_MECHANISM pssMechanism{CKM_SHA256_RSA_PKCS_PSS, &pss, sizeof pss};
    const Bytes pssSignature = sign(pssMechanism, rsa.privateKey, data);
    EXPECT_TRUE(ossl::RsaVerifyPss(key, "SHA256", data, pssSignature));
    EXPECT_EQ(verify(pssMechanism, rsa.publicKey, data, pssSignature), CKR_OK);
    EXPECT_EQ(verify(pssMechanism, rsa.publicKey, data, tampered(pssSignature)),
              CKR_SIGNATURE_INVALID);
}

struct CurveCase {
    const char* group;
    Bytes oid;  // CKA_EC_PARAMS
    size_t half;
};

TEST_F(CryptoSuite, EcdsaSignaturesVerifyWithTheExportedPublicKey) {
    const CurveCase curves[] = {
        {"prime256v1", {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07}, 32},
        {"secp384r1", {0x06, 0x05, 0x2b, 0x81, 0x04, 0x00, 0x22}, 48},
    };
    const Bytes data = pattern(3000, 5);
    for (const CurveCase& c : curves) {
        const KeyPair ec = generateEc(c.oid);
        const Bytes point = ecPoint(ec.publicKey);
        ASSERT_EQ(point.size(), 1 + 2 * c.half) << c.group;

        // Raw ECDSA over a hash the caller made.
        const Bytes hash = ossl::Digest("SHA256", data);
        const CK_MECHANISM raw{CKM_ECDSA, nullptr, 0};
        const Bytes rs = sign(raw, ec.privateKey, hash);
        ASSERT_EQ(rs.size(), 2 * c.half) << c.group;
        EXPECT_TRUE(ossl::EcdsaVerifyHash(c.group, point, hash, rs)) << c.group;
        EXPECT_FALSE(ossl::EcdsaVerifyHash(c.group, point, tampered(hash), rs)) << c.group;
        EXPECT_EQ(verify(raw, ec.publicKey, hash, rs), CKR_OK);
        EXPECT_EQ(verify(raw, ec.publicKey, tampered(hash), rs), CKR_SIGNATURE_INVALID);

        // Hash-and-sign in pieces.
        const CK_MECHANISM sha384{CKM_ECDSA_SHA384, nullptr, 0};
        const Bytes parts = signInParts(sha384, ec.privateKey, data);
        EXPECT_TRUE(ossl::EcdsaVerifyHash(c.group, point, ossl::Digest("SHA384", data), parts))
            << c.group;
        EXPECT_EQ(verifyInParts(sha384, ec.publicKey, data, parts), CKR_OK);
        EXPECT_EQ(verifyInParts(sha384, ec.publicKey, tampered(data), parts),
                  CKR_SIGNATURE_INVALID);
    }
}

TEST_F(CryptoSuite, RsaDecryptsWhatOpenSslEncryptedWithTheExportedKey) {
    const KeyPair rsa = generateRsa(2048);
    const ossl::RsaPublic key = rsaPublic(rsa.publicKey);
    const Bytes secret = pattern(100, 9);

    const CK_MECHANISM pkcs1{CKM_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(crypt(false, pkcs1, rsa.privateKey, ossl::RsaEncryptPkcs1(key, secret)), secret);

    CK_RSA_PKCS_OAEP_PARAMS oaep{CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, nullptr, 0};
    const CK_MECHANISM oaepMechanism{CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep};
    EXPECT_EQ(
        crypt(false, oaepMechanism, rsa.privateKey, ossl::RsaEncryptOaep(key, "SHA256", secret)),
        secret);

    // The device's own ciphertexts come back to the same plaintext.
    for (const CK_MECHANISM& m : {pkcs1, oaepMechanism}) {
        const Bytes cipherText = crypt(true, m, rsa.publicKey, secret);
        EXPECT_EQ(cipherText.size(), 256u);
        EXPECT_EQ(crypt(false, m, rsa.privateKey, cipherText), secret);
    }
}

struct AesCase {
    CK_MECHANISM_TYPE type;
    const char* cipher;  // OpenSSL's name without the key size
    bool pad;
    bool iv;
};

TEST_F(CryptoSuite, AesCiphertextsDecryptWithOpenSslAndTheOtherWayRound) {
    const AesCase modes[] = {
        {CKM_AES_CBC_PAD, "CBC", true, true},
        {CKM_AES_CBC, "CBC", false, true},
        {CKM_AES_ECB, "ECB", false, false},
    };
    const Bytes plain = pattern(1600, 11);  // a multiple of the block size
    const Bytes odd = pattern(1001, 12);
    for (const size_t bits : {128, 256}) {
        const Bytes value = pattern(bits / 8, static_cast<uint8_t>(bits));
        const CK_OBJECT_HANDLE key = createSecret(CKK_AES, value);
        for (const AesCase& m : modes) {
            const std::string name = "AES-" + std::to_string(bits) + "-" + m.cipher;
            Bytes iv = m.iv ? pattern(16, 99) : Bytes{};
            const CK_MECHANISM mechanism{m.type, m.iv ? iv.data() : nullptr, iv.size()};
            const Bytes& input = m.pad ? odd : plain;

            const Bytes cipherText = crypt(true, mechanism, key, input);
            EXPECT_EQ(ossl::Decrypt(name, value, iv, cipherText, m.pad), input) << name;
            EXPECT_EQ(crypt(false, mechanism, key, ossl::Encrypt(name, value, iv, input, m.pad)),
                      input)
                << name;
            // In updates of uneven sizes: the same bytes.
            EXPECT_EQ(cryptInParts(true, mechanism, key, input, 700), cipherText) << name;
            EXPECT_EQ(cryptInParts(false, mechanism, key, cipherText, 333), input) << name;
        }
    }

    // CTR: the counter block follows ulCounterBits in the parameter.
    const Bytes value = pattern(16, 1);
    const CK_OBJECT_HANDLE key = createSecret(CKK_AES, value);
    CK_AES_CTR_PARAMS ctr{128, {}};
    const Bytes counter = pattern(16, 50);
    std::copy(counter.begin(), counter.end(), ctr.cb);
    const CK_MECHANISM ctrMechanism{CKM_AES_CTR, &ctr, sizeof ctr};
    const Bytes cipherText = crypt(true, ctrMechanism, key, odd);
    EXPECT_EQ(ossl::Decrypt("AES-128-CTR", value, counter, cipherText, false), odd);
    EXPECT_EQ(cryptInParts(false, ctrMechanism, key, cipherText, 500), odd);
}

TEST_F(CryptoSuite, HmacMatchesOpenSslAndRejectsTamperedData) {
    const Bytes value = pattern(32, 77);
    const CK_OBJECT_HANDLE key = createSecret(CKK_GENERIC_SECRET, value);
    const Bytes data = pattern(4500, 8);
    const CK_MECHANISM sha256{CKM_SHA256_HMAC, nullptr, 0};
    const Bytes expected = ossl::Hmac("SHA256", value, data);
    EXPECT_EQ(sign(sha256, key, data), expected);
    EXPECT_EQ(signInParts(sha256, key, data), expected);
    EXPECT_EQ(verify(sha256, key, data, expected), CKR_OK);
    EXPECT_EQ(verify(sha256, key, tampered(data), expected), CKR_SIGNATURE_INVALID);
    EXPECT_EQ(verifyInParts(sha256, key, data, tampered(expected)), CKR_SIGNATURE_INVALID);
    const CK_MECHANISM sha512{CKM_SHA512_HMAC, nullptr, 0};
    EXPECT_EQ(sign(sha512, key, data), ossl::Hmac("SHA512", value, data));
}

TEST_F(CryptoSuite, FailedCallsLeaveTheOperationUsable) {
    const Bytes value = pattern(16, 2);
    const CK_OBJECT_HANDLE key = createSecret(CKK_AES, value);
    const CK_MECHANISM ecb{CKM_AES_ECB, nullptr, 0};
    const Bytes plain = pattern(64, 4);
    ASSERT_EQ(p11().C_EncryptInit(session_, const_cast<CK_MECHANISM*>(&ecb), key), CKR_OK);
    // Too small a buffer: the device says how much, the operation goes on.
    Bytes out(64);
    CK_ULONG length = 16;
    EXPECT_EQ(p11().C_Encrypt(session_, const_cast<uint8_t*>(plain.data()), plain.size(),
                              out.data(), &length),
              CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 64u);
    ASSERT_EQ(p11().C_Encrypt(session_, const_cast<uint8_t*>(plain.data()), plain.size(),
                              out.data(), &length),
              CKR_OK);
    EXPECT_EQ(ossl::Decrypt("AES-128-ECB", value, {}, out, false), plain);

    // Arguments the module refuses end the operation on the device too, so
    // the next Init starts a new one.
    ASSERT_EQ(p11().C_EncryptInit(session_, const_cast<CK_MECHANISM*>(&ecb), key), CKR_OK);
    EXPECT_EQ(p11().C_Encrypt(session_, const_cast<uint8_t*>(plain.data()), plain.size(),
                              out.data(), nullptr),
              CKR_ARGUMENTS_BAD);
    ASSERT_EQ(p11().C_EncryptInit(session_, const_cast<CK_MECHANISM*>(&ecb), key), CKR_OK);
    EXPECT_EQ(p11().C_Encrypt(session_, nullptr, 16, out.data(), &length), CKR_ARGUMENTS_BAD);
    const CK_MECHANISM hmac{CKM_SHA256_HMAC, nullptr, 0};
    const CK_OBJECT_HANDLE secret = createSecret(CKK_GENERIC_SECRET, value);
    ASSERT_EQ(p11().C_SignInit(session_, const_cast<CK_MECHANISM*>(&hmac), secret), CKR_OK);
    EXPECT_EQ(p11().C_SignUpdate(session_, nullptr, 4), CKR_ARGUMENTS_BAD);
    CK_MECHANISM sha{CKM_SHA256, nullptr, 0};
    ASSERT_EQ(p11().C_DigestInit(session_, &sha), CKR_OK);
    EXPECT_EQ(p11().C_DigestFinal(session_, out.data(), nullptr), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(p11().C_DigestInit(session_, &sha), CKR_OK);
    EXPECT_EQ(p11().C_Digest(session_, const_cast<uint8_t*>(plain.data()), plain.size(), out.data(),
                             nullptr),
              CKR_ARGUMENTS_BAD);

    // A signature longer than the caller's buffer: its length is reported,
    // and the retry gets it.
    ASSERT_EQ(p11().C_SignInit(session_, const_cast<CK_MECHANISM*>(&hmac), secret), CKR_OK);
    ASSERT_EQ(p11().C_SignUpdate(session_, const_cast<uint8_t*>(plain.data()), plain.size()),
              CKR_OK);
    Bytes signature(64);
    length = 8;
    EXPECT_EQ(p11().C_SignFinal(session_, signature.data(), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 32u);
    ASSERT_EQ(p11().C_SignFinal(session_, signature.data(), &length), CKR_OK);
    EXPECT_EQ(Bytes(signature.begin(), signature.begin() + 32), ossl::Hmac("SHA256", value, plain));
    // The same for C_Sign of more data than one request holds.
    const Bytes big = pattern(4500, 5);
    ASSERT_EQ(p11().C_SignInit(session_, const_cast<CK_MECHANISM*>(&hmac), secret), CKR_OK);
    length = 8;
    EXPECT_EQ(p11().C_Sign(session_, const_cast<uint8_t*>(big.data()), big.size(), signature.data(),
                           &length),
              CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 32u);
    ASSERT_EQ(p11().C_Sign(session_, const_cast<uint8_t*>(big.data()), big.size(), signature.data(),
                           &length),
              CKR_OK);
    EXPECT_EQ(Bytes(signature.begin(), signature.begin() + 32), ossl::Hmac("SHA256", value, big));
    // A size query is answered with the longest signature, and a buffer of
    // the signature's own size takes it.
    ASSERT_EQ(p11().C_SignInit(session_, const_cast<CK_MECHANISM*>(&hmac), secret), CKR_OK);
    ASSERT_EQ(p11().C_SignUpdate(session_, const_cast<uint8_t*>(plain.data()), plain.size()),
              CKR_OK);
    ASSERT_EQ(p11().C_SignFinal(session_, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 512u);
    length = 32;
    ASSERT_EQ(p11().C_SignFinal(session_, signature.data(), &length), CKR_OK);
    signature.resize(length);
    EXPECT_EQ(signature, ossl::Hmac("SHA256", value, plain));
}

TEST_F(CryptoSuite, SinglePartCipherOfAnyLengthGoesInPieces) {
    const Bytes value = pattern(32, 6);
    const CK_OBJECT_HANDLE key = createSecret(CKK_AES, value);
    const Bytes iv = pattern(16, 9);
    CK_MECHANISM cbcPad{CKM_AES_CBC_PAD, const_cast<uint8_t*>(iv.data()), iv.size()};
    for (const size_t size : {size_t{2001}, size_t{4096}, size_t{10007}}) {
        SCOPED_TRACE(size);
        Bytes plain = pattern(size, 3);
        // A size query states enough room without the device.
        ASSERT_EQ(p11().C_EncryptInit(session_, &cbcPad, key), CKR_OK);
        CK_ULONG length = 0;
        ASSERT_EQ(p11().C_Encrypt(session_, plain.data(), plain.size(), nullptr, &length), CKR_OK);
        EXPECT_GE(length, size + 1);
        Bytes cipher(length);
        ASSERT_EQ(p11().C_Encrypt(session_, plain.data(), plain.size(), cipher.data(), &length),
                  CKR_OK);
        cipher.resize(length);
        EXPECT_EQ(cipher.size(), (size / 16 + 1) * 16);
        EXPECT_EQ(ossl::Decrypt("AES-256-CBC", value, iv, cipher, true), plain);

        // The same through one long update and the final part.
        ASSERT_EQ(p11().C_EncryptInit(session_, &cbcPad, key), CKR_OK);
        Bytes parts(size + 16);
        length = parts.size();
        ASSERT_EQ(
            p11().C_EncryptUpdate(session_, plain.data(), plain.size(), parts.data(), &length),
            CKR_OK);
        CK_ULONG last = parts.size() - length;
        ASSERT_EQ(p11().C_EncryptFinal(session_, parts.data() + length, &last), CKR_OK);
        parts.resize(length + last);
        EXPECT_EQ(parts, cipher);

        // Decryption into a buffer of exactly the plaintext's size.
        ASSERT_EQ(p11().C_DecryptInit(session_, &cbcPad, key), CKR_OK);
        Bytes back(size);
        length = back.size();
        ASSERT_EQ(p11().C_Decrypt(session_, cipher.data(), cipher.size(), back.data(), &length),
                  CKR_OK);
        EXPECT_EQ(length, size);
        EXPECT_EQ(back, plain);
    }
}

std::string hex(const Bytes& bytes, bool upper) {
    std::string text;
    for (const uint8_t b : bytes) {
        char two[3];
        std::snprintf(two, sizeof two, upper ? "%02X" : "%02x", b);
        text += two;
    }
    return text;
}

TEST_F(CryptoSuite, LogNamesCallsAndMechanismsButNeverKeysOrData) {
    const Bytes value = pattern(32, 0xA7);
    const CK_OBJECT_HANDLE key = createSecret(CKK_AES, value);
    Bytes iv = pattern(16, 0x3C);
    const CK_MECHANISM cbc{CKM_AES_CBC_PAD, iv.data(), iv.size()};
    const Bytes plain = pattern(48, 0x5E);
    const Bytes cipherText = crypt(true, cbc, key, plain);
    EXPECT_EQ(crypt(false, cbc, key, cipherText), plain);
    const CK_MECHANISM hmac{CKM_SHA256_HMAC, nullptr, 0};
    const Bytes mac = sign(hmac, createSecret(CKK_GENERIC_SECRET, value), plain);

    std::ifstream file(SuiteLogFile());
    std::stringstream log;
    log << file.rdbuf();
    const std::string text = log.str();
    for (const char* line : {"TRACE : C_EncryptInit", "DEBUG : Mechanism: 0x00001085",
                             "TRACE : C_Decrypt", "DEBUG : Mechanism: 0x00000251"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    for (const Bytes& secret : {value, plain, cipherText, mac, iv}) {
        for (const bool upper : {false, true}) {
            EXPECT_EQ(text.find(hex(secret, upper).substr(0, 16)), std::string::npos);
        }
        EXPECT_EQ(text.find(std::string(secret.begin(), secret.begin() + 8)), std::string::npos);
    }
}

// pkcs11-tool, a real PKCS#11 application in its own process, with RSA, EC
// and AES keys of its own on the token: its self-test passes, and the
// signatures it makes through the module verify with the openssl command
// line using the public keys exported through the module.
class CryptoTool : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kToolCanLoadModule) {
            GTEST_SKIP() << "pkcs11-tool cannot load a module built with a sanitizer";
        }
    }

    static ToolResult tool(std::vector<std::string> args) {
        const std::vector<std::string> login = {"--login", "--pin", "123456"};
        args.insert(args.begin(), login.begin(), login.end());
        return RunPkcs11Tool(args);
    }

    static bool opensslVerifies(const std::string& publicKey, const std::string& signature,
                                const std::string& data) {
        ChildProcess openssl("/usr/bin/openssl",
                             {"dgst", "-sha256", "-verify", publicKey, "-keyform", "DER",
                              "-signature", signature, data});
        return openssl.waitExit(std::chrono::seconds(60)) == 0 &&
               openssl.out().find("Verified OK") != std::string::npos;
    }

    // CKA_EC_POINT of the public key with this CKA_ID, read through the
    // module in this process (once pkcs11-tool has finished with the device).
    static Bytes ecPointOf(CK_BYTE id) {
        CK_FUNCTION_LIST& p11 = **SuiteModule();
        Bytes point;
        if (p11.C_Initialize(nullptr) != CKR_OK) {
            return point;
        }
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
        CK_ATTRIBUTE query[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, &id, 1}};
        CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
        CK_ULONG found = 0;
        CK_BYTE der[160];
        CK_ATTRIBUTE value{CKA_EC_POINT, der, sizeof der};
        if (p11.C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session) == CKR_OK &&
            p11.C_FindObjectsInit(session, query, 2) == CKR_OK &&
            p11.C_FindObjects(session, &key, 1, &found) == CKR_OK &&
            p11.C_FindObjectsFinal(session) == CKR_OK && found == 1 &&
            p11.C_GetAttributeValue(session, key, &value, 1) == CKR_OK && value.ulValueLen > 2) {
            // The DER OCTET STRING's contents: the uncompressed point.
            point.assign(der + 2, der + value.ulValueLen);
        }
        p11.C_Finalize(nullptr);
        return point;
    }
};

TEST_F(CryptoTool, SelfTestPassesAndSignaturesVerifyWithOpenSsl) {
    const std::string dir = SuiteDir();
    const std::vector<std::string> keys[] = {
        {"--keypairgen", "--key-type", "rsa:2048", "--id", "01", "--label", "tool-rsa"},
        {"--keypairgen", "--key-type", "EC:prime256v1", "--id", "02", "--label", "tool-ec"},
        {"--keygen", "--key-type", "AES:32", "--id", "03", "--label", "tool-aes"},
    };
    for (const auto& key : keys) {
        const ToolResult made = tool(key);
        ASSERT_EQ(made.status, 0) << made.output;
    }

    const ToolResult test = tool({"--test"});
    EXPECT_EQ(test.status, 0) << test.output;
    EXPECT_NE(test.output.find("No errors"), std::string::npos) << test.output;

    const Bytes bytes = pattern(5000, 21);
    const std::string data = dir + "/tool-data.bin";
    const std::string other = dir + "/tool-other.bin";
    WriteFile(data, std::string(bytes.begin(), bytes.end()));
    WriteFile(other, std::string(bytes.begin(), bytes.end() - 1));
    const struct {
        const char* id;
        const char* mechanism;
    } signers[] = {{"01", "SHA256-RSA-PKCS"}, {"02", "ECDSA-SHA256"}};
    for (const auto& signer : signers) {
        const std::string signature = dir + "/tool-" + signer.id + ".sig";
        const ToolResult signed_ =
            tool({"--sign", "--id", signer.id, "--mechanism", signer.mechanism,
                  "--signature-format", "openssl", "-i", data, "-o", signature});
        ASSERT_EQ(signed_.status, 0) << signed_.output;
    }

    // The RSA public key as pkcs11-tool exports it through the module.
    const std::string rsaKey = dir + "/tool-01.der";
    const ToolResult exported =
        RunPkcs11Tool({"--read-object", "--type", "pubkey", "--id", "01", "-o", rsaKey});
    ASSERT_EQ(exported.status, 0) << exported.output;
    // The EC public key from its CKA_EC_POINT, read through the module.
    const Bytes ecDer = ossl::EcPublicDer("prime256v1", ecPointOf(0x02));
    ASSERT_FALSE(ecDer.empty());
    const std::string ecKey = dir + "/tool-02.der";
    WriteFile(ecKey, std::string(ecDer.begin(), ecDer.end()));

    for (const auto& [key, id] : {std::pair{rsaKey, "01"}, std::pair{ecKey, "02"}}) {
        const std::string signature = dir + "/tool-" + id + ".sig";
        EXPECT_TRUE(opensslVerifies(key, signature, data)) << id;
        EXPECT_FALSE(opensslVerifies(key, signature, other)) << id;
    }
}

}  // namespace
}  // namespace vexa::test
