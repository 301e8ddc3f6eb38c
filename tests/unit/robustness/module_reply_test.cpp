// Replies that claim more output than they carry. A successful call into
// the caller's buffer reports exactly the bytes placed there: a device (or
// anything posing as one) that answers CKR_OK with a length but without the
// bytes must not make the application read past what was written, or past
// its buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "unit/pkcs11/module_fixture.h"

namespace vexa::test {
namespace {

class LyingLengthTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_EQ(initialize(), CKR_OK);
        session_ = openSession(0);
        // From here on every reply is CKR_OK with a length of 9999 and no data.
        devices_[0]->setResponder([](const SeenRequest&) {
            Reply reply = Reply::withRv(CKR_OK);
            reply.response.has_length = true;
            reply.response.length = 9999;
            return reply;
        });
    }
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
};

using OutputCall = std::function<CK_RV(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)>;

struct OutputCase {
    const char* name;
    OutputCall call;
};

TEST_F(LyingLengthTest, SuccessfulOutputReportsOnlyTheBytesPlaced) {
    static CK_BYTE input[16] = {};
    const std::vector<OutputCase> cases = {
        {"C_Encrypt", [](CK_SESSION_HANDLE s, CK_BYTE_PTR out,
                         CK_ULONG_PTR len) { return C_Encrypt(s, input, sizeof input, out, len); }},
        {"C_EncryptUpdate",
         [](CK_SESSION_HANDLE s, CK_BYTE_PTR out, CK_ULONG_PTR len) {
             return C_EncryptUpdate(s, input, sizeof input, out, len);
         }},
        {"C_EncryptFinal", [](CK_SESSION_HANDLE s, CK_BYTE_PTR out,
                              CK_ULONG_PTR len) { return C_EncryptFinal(s, out, len); }},
        {"C_Decrypt", [](CK_SESSION_HANDLE s, CK_BYTE_PTR out,
                         CK_ULONG_PTR len) { return C_Decrypt(s, input, sizeof input, out, len); }},
        {"C_DecryptFinal", [](CK_SESSION_HANDLE s, CK_BYTE_PTR out,
                              CK_ULONG_PTR len) { return C_DecryptFinal(s, out, len); }},
        {"C_Sign", [](CK_SESSION_HANDLE s, CK_BYTE_PTR out,
                      CK_ULONG_PTR len) { return C_Sign(s, input, sizeof input, out, len); }},
        {"C_SignFinal", [](CK_SESSION_HANDLE s, CK_BYTE_PTR out,
                           CK_ULONG_PTR len) { return C_SignFinal(s, out, len); }},
        {"C_Digest", [](CK_SESSION_HANDLE s, CK_BYTE_PTR out,
                        CK_ULONG_PTR len) { return C_Digest(s, input, sizeof input, out, len); }},
        {"C_DigestFinal", [](CK_SESSION_HANDLE s, CK_BYTE_PTR out,
                             CK_ULONG_PTR len) { return C_DigestFinal(s, out, len); }},
        {"C_WrapKey",
         [](CK_SESSION_HANDLE s, CK_BYTE_PTR out, CK_ULONG_PTR len) {
             CK_MECHANISM wrap = {CKM_AES_KEY_WRAP, nullptr, 0};
             return C_WrapKey(s, &wrap, 1, 2, out, len);
         }},
    };
    for (const OutputCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<CK_BYTE> buffer(64, 0xCC);
        CK_ULONG length = buffer.size();
        const CK_RV rv = c.call(session_, buffer.data(), &length);
        if (rv == CKR_OK) {
            EXPECT_LE(length, buffer.size());
            EXPECT_EQ(length, 0u) << "no bytes arrived, yet " << length << " were reported";
        }
    }
}

TEST_F(LyingLengthTest, SizeQueryStillTakesTheDevicesLength) {
    CK_BYTE input[16] = {};
    CK_ULONG length = 0;
    ASSERT_EQ(C_Encrypt(session_, input, sizeof input, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 9999u);
}

}  // namespace
}  // namespace vexa::test
