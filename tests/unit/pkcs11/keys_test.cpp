// Key management over in-memory devices: the key-generation time limit and
// its restoration, the wrap size query, unwrap's mechanism rules and log
// lines, derivation's checks.
#include <gtest/gtest.h>

#include <vector>

#include "unit/pkcs11/module_fixture.h"

namespace vexa::test {
namespace {

using talvoranth::LOG_DEBUG;
using talvoranth::LOG_TRACE;

class Keys : public ModuleTest {
protected:
    Keys() {
        config_.timeoutMs = 1500;
        config_.keyTimeoutMs = 7000;
    }
    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_EQ(initialize(), CKR_OK);
        session_ = openSession(0);
        sentBefore_ = devices_[0]->requests().size();
        context_->clearLines();
    }
    void answer(Reply reply) {
        devices_[0]->setResponder([reply](const SeenRequest&) { return reply; });
    }
    bool traced() const {
        for (const auto& line : context_->lines()) {
            if (line.first == LOG_TRACE) {
                return true;
            }
        }
        return false;
    }

    CK_SESSION_HANDLE session_ = 0;
    size_t sentBefore_ = 0;
    CK_ATTRIBUTE none_[1] = {};
};

TEST_F(Keys, KeyPairGenerationRunsUnderTheLongerLimitAndRestoresTheTimeOut) {
    Reply pair = Reply::withRv(CKR_OK);
    pair.response.has_handle = true;
    pair.response.handle = 0x11;
    pair.response.has_handle2 = true;
    pair.response.handle2 = 0x12;
    struct Case {
        const char* name;
        Reply reply;
        CK_RV rv;
    };
    const Case cases[] = {
        {"success", pair, CKR_OK},
        {"device error", Reply::withRv(CKR_TEMPLATE_INCONSISTENT), CKR_TEMPLATE_INCONSISTENT},
        {"no reply", Reply::noReply(), CKR_FUNCTION_FAILED},
        {"link lost", Reply::throwOnRead("device link lost"), CKR_FUNCTION_FAILED},
    };
    CK_MECHANISM mechanism{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    CK_ATTRIBUTE pub[1] = {};
    CK_ATTRIBUTE priv[1] = {};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        answer(c.reply);
        CK_OBJECT_HANDLE hPub = 0, hPriv = 0;
        EXPECT_EQ(C_GenerateKeyPair(session_, &mechanism, pub, 0, priv, 0, &hPub, &hPriv), c.rv);
        EXPECT_EQ(devices_[0]->timeoutAtRead, 7000);
        EXPECT_EQ(devices_[0]->timeout, 1500);
        EXPECT_EQ(hPub, c.rv == CKR_OK ? 0x11u : 0u);
        EXPECT_EQ(hPriv, c.rv == CKR_OK ? 0x12u : 0u);
    }
    EXPECT_TRUE(context_->has(LOG_TRACE, "C_GenerateKeyPair"));
    // Domain parameters take the same limit; secret keys and other calls
    // keep the normal time-out.
    answer(Reply::withRv(CKR_OK));
    CK_OBJECT_HANDLE made = 0;
    for (const CK_MECHANISM_TYPE type : {CKM_DSA_PARAMETER_GEN, CKM_DH_PKCS_PARAMETER_GEN}) {
        CK_MECHANISM parameters{type, nullptr, 0};
        EXPECT_EQ(C_GenerateKey(session_, &parameters, pub, 0, &made), CKR_OK);
        EXPECT_EQ(devices_[0]->timeoutAtRead, 7000);
        EXPECT_EQ(devices_[0]->timeout, 1500);
    }
    CK_MECHANISM aes{CKM_AES_KEY_GEN, nullptr, 0};
    EXPECT_EQ(C_GenerateKey(session_, &aes, pub, 0, &made), CKR_OK);
    EXPECT_EQ(devices_[0]->timeoutAtRead, 1500);
    EXPECT_EQ(C_DestroyObject(session_, 1), CKR_OK);
    EXPECT_EQ(devices_[0]->timeoutAtRead, 1500);
}

TEST_F(Keys, GenerationChecksItsArguments) {
    CK_MECHANISM mechanism{CKM_AES_KEY_GEN, nullptr, 0};
    CK_MECHANISM inconsistent{CKM_AES_KEY_GEN, nullptr, 4};
    CK_OBJECT_HANDLE h1 = 0, h2 = 0;
    EXPECT_EQ(C_GenerateKey(session_, nullptr, none_, 0, &h1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GenerateKey(session_, &mechanism, nullptr, 0, &h1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GenerateKey(session_, &mechanism, none_, 0, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GenerateKey(session_, &inconsistent, none_, 0, &h1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GenerateKeyPair(session_, &mechanism, nullptr, 0, none_, 0, &h1, &h2),
              CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GenerateKeyPair(session_, &mechanism, none_, 0, none_, 0, &h1, nullptr),
              CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_DeriveKey(session_, &mechanism, 0, nullptr, 0, &h1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_DeriveKey(session_, &mechanism, 5, nullptr, 2, &h1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(devices_[0]->requests().size(), sentBefore_);

    Reply key = Reply::withRv(CKR_OK);
    key.response.has_handle = true;
    key.response.handle = 0x77;
    answer(key);
    context_->clearLines();
    EXPECT_EQ(C_GenerateKey(session_, &mechanism, none_, 0, &h1), CKR_OK);
    EXPECT_EQ(h1, 0x77u);
    const auto seen = requestsOf(0, FunctionId::GenerateKey);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].request.mechanism.type, CKM_AES_KEY_GEN);
    EXPECT_FALSE(seen[0].request.mechanism.has_parameter_length);  // bare form
    EXPECT_FALSE(traced());
}

TEST_F(Keys, WrapSizeQueryStatesACapacityOfZero) {
    // What a catalogue device answers a capacity it cannot fill.
    Reply size = Reply::withRv(CKR_BUFFER_TOO_SMALL);
    size.response.has_length = true;
    size.response.length = 40;
    answer(size);
    CK_MECHANISM mechanism{CKM_AES_KEY_WRAP, nullptr, 0};
    CK_ULONG length = 3;  // whatever the caller had there
    EXPECT_EQ(C_WrapKey(session_, &mechanism, 7, 8, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 40u);
    auto seen = requestsOf(0, FunctionId::WrapKey);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_FALSE(seen[0].request.has_length_only);
    EXPECT_TRUE(seen[0].request.has_out_capacity);
    EXPECT_EQ(seen[0].request.out_capacity, 0u);
    EXPECT_EQ(seen[0].request.object, 8u);
    EXPECT_EQ(seen[0].request.object2, 7u);
    EXPECT_TRUE(seen[0].request.mechanism.has_parameter_length);
    EXPECT_TRUE(context_->has(LOG_DEBUG, "Wrap Mechanism: 0x00002109"));

    std::vector<CK_BYTE> wrapped(40);
    Reply bytes = Reply::withRv(CKR_OK);
    bytes.data = std::vector<uint8_t>(24, 0x5C);
    answer(bytes);
    length = wrapped.size();
    EXPECT_EQ(C_WrapKey(session_, &mechanism, 7, 8, wrapped.data(), &length), CKR_OK);
    EXPECT_EQ(length, 24u);  // no `length` in the reply: the bytes received
    EXPECT_EQ(wrapped[23], 0x5C);
    EXPECT_EQ(requestsOf(0, FunctionId::WrapKey)[1].request.out_capacity, 40u);

    length = 0;
    EXPECT_EQ(C_WrapKey(session_, &mechanism, 7, 8, wrapped.data(), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(requestsOf(0, FunctionId::WrapKey).size(), 2u);

    // More bytes than the buffer holds are refused, never written past it.
    bytes.data = std::vector<uint8_t>(41, 0x5D);
    answer(bytes);
    length = wrapped.size();
    EXPECT_EQ(C_WrapKey(session_, &mechanism, 7, 8, wrapped.data(), &length), CKR_FUNCTION_FAILED);
    EXPECT_EQ(length, 40u);
    // Nor is a length taken from a reply that did not decode: rv 0, length
    // 1000, then 41 bytes of data.
    std::vector<uint8_t> raw = {0x08, 0x00, 0x20, 0xE8, 0x07, 0x1A, 41};
    raw.resize(raw.size() + 41, 0x5E);
    answer(Reply::rawBytes(raw));
    EXPECT_EQ(C_WrapKey(session_, &mechanism, 7, 8, wrapped.data(), &length), CKR_FUNCTION_FAILED);
    EXPECT_EQ(length, 40u);
    EXPECT_FALSE(traced());
}

TEST_F(Keys, UnwrapNormalisesACopyOfTheMechanismAndLogsItsRefusals) {
    CK_BYTE parameter[4] = {1, 2, 3, 4};
    CK_MECHANISM rsa{CKM_RSA_PKCS, parameter, sizeof parameter};
    CK_BYTE wrapped[16] = {};
    CK_OBJECT_HANDLE key = 0;

    answer(Reply::withRv(CKR_WRAPPED_KEY_INVALID));
    EXPECT_EQ(C_UnwrapKey(session_, &rsa, 3, wrapped, sizeof wrapped, none_, 0, &key),
              CKR_WRAPPED_KEY_INVALID);
    const auto seen = requestsOf(0, FunctionId::UnwrapKey);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].request.mechanism.has_parameter_length);
    EXPECT_EQ(seen[0].request.mechanism.parameter_length, 0u);
    EXPECT_EQ(seen[0].data, std::vector<uint8_t>(16, 0));
    EXPECT_EQ(seen[0].request.object, 3u);
    EXPECT_EQ(rsa.pParameter, parameter);  // the caller's mechanism is an input
    EXPECT_EQ(rsa.ulParameterLen, 4u);
    EXPECT_TRUE(context_->has(LOG_DEBUG, "Unwrap Mechanism: 0x00000001"));
    EXPECT_TRUE(context_->has(LOG_DEBUG, "C_UnwrapKey rv = 0x110"));

    struct Case {
        CK_MECHANISM* mechanism;
        CK_BYTE* wrapped;
        CK_ATTRIBUTE* tmpl;
        CK_ULONG count;
        CK_OBJECT_HANDLE* key;
        const char* line;
    };
    const Case cases[] = {
        {nullptr, wrapped, none_, 0, &key, "C_UnwrapKey invalid params - null mech or wrapped key"},
        {&rsa, nullptr, none_, 0, &key, "C_UnwrapKey invalid params - null mech or wrapped key"},
        {&rsa, wrapped, nullptr, 3, &key,
         "C_UnwrapKey invalid params - null template and non-null ulCount."},
        {&rsa, wrapped, none_, 0, nullptr, "C_UnwrapKey invalid params - hKey is NULL."},
    };
    for (const Case& c : cases) {
        context_->clearLines();
        EXPECT_EQ(C_UnwrapKey(session_, c.mechanism, 3, c.wrapped, 16, c.tmpl, c.count, c.key),
                  CKR_ARGUMENTS_BAD);
        EXPECT_TRUE(context_->has(LOG_DEBUG, c.line)) << c.line;
        EXPECT_FALSE(traced());
    }
    EXPECT_EQ(requestsOf(0, FunctionId::UnwrapKey).size(), 1u);

    // A null parameter with a length goes as no parameter at all.
    CK_MECHANISM aes{CKM_AES_KEY_WRAP, nullptr, 8};
    Reply unwrapped = Reply::withRv(CKR_OK);
    unwrapped.response.has_handle = true;
    unwrapped.response.handle = 0x99;
    answer(unwrapped);
    EXPECT_EQ(C_UnwrapKey(session_, &aes, 3, wrapped, sizeof wrapped, nullptr, 0, &key), CKR_OK);
    EXPECT_EQ(key, 0x99u);
    EXPECT_EQ(requestsOf(0, FunctionId::UnwrapKey)[1].request.mechanism.parameter_length, 0u);
}

TEST_F(Keys, DeriveSendsTheBaseKeyAndLogsTheMechanism) {
    CK_BYTE point[65] = {0x04};
    CK_ECDH1_DERIVE_PARAMS params{CKD_NULL, 0, nullptr, sizeof point, point};
    CK_MECHANISM ecdh{CKM_ECDH1_DERIVE, &params, sizeof params};
    Reply derived = Reply::withRv(CKR_OK);
    derived.response.has_handle = true;
    derived.response.handle = 0x31;
    answer(derived);
    CK_OBJECT_HANDLE key = 0;
    EXPECT_EQ(C_DeriveKey(session_, &ecdh, 0x21, nullptr, 0, &key), CKR_OK);
    EXPECT_EQ(key, 0x31u);
    const auto seen = requestsOf(0, FunctionId::DeriveKey);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].request.object, 0x21u);
    EXPECT_TRUE(seen[0].request.mechanism.has_ecdh);
    EXPECT_TRUE(context_->has(LOG_TRACE, "C_DeriveKey"));
    EXPECT_TRUE(context_->has(LOG_DEBUG, "Mechanism: 0x00001050"));

    // A parameter block of the wrong size is refused before sending.
    CK_MECHANISM bad{CKM_ECDH1_DERIVE, &params, 12};
    EXPECT_EQ(C_DeriveKey(session_, &bad, 0x21, nullptr, 0, &key), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(requestsOf(0, FunctionId::DeriveKey).size(), 1u);
}

}  // namespace
}  // namespace vexa::test
