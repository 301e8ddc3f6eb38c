// Cryptographic operations over in-memory devices: what each function
// sends, the output-buffer convention, update data in pieces, C_Digest's
// cases, C_Sign's length answer and the final signature step.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "unit/pkcs11/module_fixture.h"

namespace vexa::test {
namespace {

using talvoranth::LOG_DEBUG;
using talvoranth::LOG_INFO;
using talvoranth::LOG_TRACE;
using Bytes = std::vector<uint8_t>;

class Crypto : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_EQ(initialize(), CKR_OK);
        session_ = openSession(0);
        answerWith(Bytes(32, 0x5C));
        devices_[0]->clearRequests();
        context_->clearLines();
    }
    void answerWith(Bytes bytes) {
        devices_[0]->setResponder(
            [bytes](const SeenRequest& seen) { return outputAnswer(seen, bytes); });
    }
    size_t sent() const { return devices_[0]->requests().size(); }

    CK_SESSION_HANDLE session_ = 0;
};

TEST_F(Crypto, SignLengthQueryIsAnsweredWithoutTheDevice) {
    CK_ULONG length = 0;
    EXPECT_EQ(C_Sign(session_, nullptr, 0, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 512u);
    length = 0;
    EXPECT_EQ(C_Sign(0xDEAD, nullptr, 0, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 512u);
    EXPECT_EQ(sent(), 0u);
    CK_BYTE data[4] = {};
    EXPECT_EQ(C_Sign(session_, data, 4, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Sign(session_, nullptr, 4, nullptr, &length), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(context_->has(LOG_TRACE, "C_Sign"));
}

TEST_F(Crypto, SignSendsDataAndCapacityAndTakesTheSignature) {
    std::vector<CK_BYTE> data(1500, 0x11);
    CK_BYTE signature[512];
    CK_ULONG length = sizeof signature;
    ASSERT_EQ(C_Sign(session_, data.data(), data.size(), signature, &length), CKR_OK);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(Bytes(signature, signature + 32), Bytes(32, 0x5C));
    const auto seen = requestsOf(0, FunctionId::Sign);
    ASSERT_EQ(seen.size(), 1u);  // one request, no pieces
    EXPECT_EQ(seen[0].data, Bytes(data.begin(), data.end()));
    EXPECT_EQ(seen[0].request.out_capacity, 512u);
    EXPECT_FALSE(seen[0].request.has_length_only);

    length = 16;
    EXPECT_EQ(C_Sign(session_, data.data(), 4, signature, &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 32u);
}

TEST_F(Crypto, EncryptFollowsTheOutputBufferConvention) {
    CK_BYTE plain[16] = {1, 2, 3};
    // A size query: length_only with the caller's capacity, the device's length back.
    CK_ULONG length = 7;
    ASSERT_EQ(C_Encrypt(session_, plain, sizeof plain, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 32u);
    auto seen = requestsOf(0, FunctionId::Encrypt);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].request.has_length_only && seen[0].request.length_only);
    EXPECT_TRUE(seen[0].request.has_out_capacity);
    EXPECT_EQ(seen[0].request.out_capacity, 7u);
    EXPECT_EQ(seen[0].data, Bytes(plain, plain + 16));

    // Into the buffer.
    CK_BYTE out[64] = {};
    length = sizeof out;
    ASSERT_EQ(C_Encrypt(session_, plain, sizeof plain, out, &length), CKR_OK);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(out[31], 0x5C);

    // More bytes than the capacity the module sent: refused while decoding,
    // the length left alone, nothing written past the buffer.
    devices_[0]->setResponder([](const SeenRequest& seen) {
        Reply reply = defaultAnswer(0, seen);
        reply.data = Bytes(40, 0x77);
        reply.response.has_length = true;
        reply.response.length = 40;
        return reply;
    });
    CK_BYTE small[48];
    std::fill(std::begin(small), std::end(small), 0xEE);
    length = 32;
    EXPECT_EQ(C_Encrypt(session_, plain, sizeof plain, small, &length), CKR_FUNCTION_FAILED);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(small[32], 0xEE);
}

TEST_F(Crypto, UpdatesAndFinalsOfEncryptionAndDecryption) {
    CK_BYTE part[10] = {};
    CK_BYTE out[64];
    struct Case {
        FunctionId id;
        std::function<CK_RV(CK_ULONG*)> call;
        bool input;
    };
    const Case cases[] = {
        {FunctionId::EncryptUpdate,
         [&](CK_ULONG* n) { return C_EncryptUpdate(session_, part, sizeof part, out, n); }, true},
        {FunctionId::DecryptUpdate,
         [&](CK_ULONG* n) { return C_DecryptUpdate(session_, part, sizeof part, out, n); }, true},
        {FunctionId::Decrypt,
         [&](CK_ULONG* n) { return C_Decrypt(session_, part, sizeof part, out, n); }, true},
        {FunctionId::EncryptFinal, [&](CK_ULONG* n) { return C_EncryptFinal(session_, out, n); },
         false},
        {FunctionId::DecryptFinal, [&](CK_ULONG* n) { return C_DecryptFinal(session_, out, n); },
         false},
    };
    for (const Case& c : cases) {
        CK_ULONG length = sizeof out;
        EXPECT_EQ(c.call(&length), CKR_OK);
        EXPECT_EQ(length, 32u);
        const auto seen = requestsOf(0, c.id);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].request.session, session_);
        EXPECT_EQ(seen[0].request.out_capacity, sizeof out);
        EXPECT_EQ(seen[0].data.has_value(), c.input);
    }
    CK_ULONG length = sizeof out;
    EXPECT_EQ(C_EncryptFinal(0xBAD, out, &length), CKR_SESSION_HANDLE_INVALID);
    // A length without data, or no length pointer, is refused, not sent as
    // empty input; the refusal ends the operation with its final part.
    devices_[0]->clearRequests();
    EXPECT_EQ(C_Encrypt(session_, nullptr, 16, out, &length), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_DecryptUpdate(session_, nullptr, 16, out, &length), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Encrypt(session_, part, sizeof part, out, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Decrypt(session_, part, sizeof part, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_EncryptUpdate(session_, part, sizeof part, out, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_DecryptFinal(session_, out, nullptr), CKR_ARGUMENTS_BAD);
    const uint32_t encryptFinal = id(FunctionId::EncryptFinal);
    const uint32_t decryptFinal = id(FunctionId::DecryptFinal);
    EXPECT_EQ(devices_[0]->functionIds(),
              (std::vector<uint32_t>{encryptFinal, decryptFinal, encryptFinal, decryptFinal,
                                     encryptFinal, decryptFinal}));
    for (const SeenRequest& seen : devices_[0]->requests()) {
        EXPECT_FALSE(seen.data.has_value());
    }
}

TEST_F(Crypto, ValuesBeyond32BitsAreRefusedBeforeAnythingIsSent) {
    const CK_ULONG wide = CK_ULONG{1} << 32;
    CK_BYTE data[16] = {};
    CK_BYTE out[16];
    CK_ULONG length = wide;
    CK_MECHANISM ecb{CKM_AES_ECB, nullptr, 0};
    CK_MECHANISM wideType{wide | CKM_AES_ECB, nullptr, 0};
    EXPECT_EQ(C_Encrypt(session_, data, sizeof data, out, &length), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(length, wide);
    EXPECT_EQ(C_DigestFinal(session_, out, &length), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_EncryptInit(session_, &ecb, wide + 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_DecryptInit(session_, &wideType, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_SignInit(session_, &wideType, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_DigestInit(session_, &wideType), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_DigestKey(session_, wide), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(sent(), 0u);
    // CK_UNAVAILABLE_INFORMATION travels as 0xFFFFFFFF.
    length = CK_UNAVAILABLE_INFORMATION;
    EXPECT_EQ(C_Encrypt(session_, data, sizeof data, nullptr, &length), CKR_OK);
    EXPECT_EQ(requestsOf(0, FunctionId::Encrypt)[0].request.out_capacity, 0xFFFFFFFFu);
}

TEST_F(Crypto, EncryptInitEncodesTheMechanismAndLogsItsRefusals) {
    CK_BYTE iv[16] = {};
    CK_MECHANISM cbc{CKM_AES_CBC, iv, sizeof iv};
    ASSERT_EQ(C_EncryptInit(session_, &cbc, 0x42), CKR_OK);
    auto seen = requestsOf(0, FunctionId::EncryptInit);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].request.object, 0x42u);
    EXPECT_EQ(seen[0].request.mechanism.type, CKM_AES_CBC);
    EXPECT_EQ(seen[0].request.mechanism.parameter_length, 16u);
    EXPECT_TRUE(context_->has(LOG_DEBUG, "Mechanism: 0x00001082"));

    EXPECT_EQ(C_EncryptInit(session_, nullptr, 0x42), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(context_->has(LOG_DEBUG, "C_EncryptInit invalid params - mechanism is NULL."));
    CK_MECHANISM broken{CKM_AES_CBC, nullptr, 16};
    EXPECT_EQ(C_EncryptInit(session_, &broken, 0x42), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(context_->has(
        LOG_DEBUG, "C_EncryptInit invalid params - mechanism is NULL but param len is not null."));
    EXPECT_EQ(C_DecryptInit(session_, &broken, 0x42), CKR_ARGUMENTS_BAD);

    // A bad OAEP block: the mechanism line, then the refusal, nothing sent.
    CK_RSA_PKCS_OAEP_PARAMS oaep{CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 0};
    CK_MECHANISM shortOaep{CKM_RSA_PKCS_OAEP, &oaep, 24};
    context_->clearLines();
    EXPECT_EQ(C_EncryptInit(session_, &shortOaep, 0x42), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(context_->has(LOG_DEBUG, "Mechanism: 0x00000009"));
    EXPECT_EQ(requestsOf(0, FunctionId::EncryptInit).size(), 1u);

    CK_MECHANISM goodOaep{CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep};
    ASSERT_EQ(C_DecryptInit(session_, &goodOaep, 0x43), CKR_OK);
    seen = requestsOf(0, FunctionId::DecryptInit);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].request.mechanism.has_oaep);
    EXPECT_FALSE(seen[0].request.mechanism.has_parameter_length);
}

TEST_F(Crypto, SignAndVerifyInitUseTheGenericFormAndLogRefusals) {
    CK_RSA_PKCS_OAEP_PARAMS oaep{CKM_SHA_1, CKG_MGF1_SHA1, 0, nullptr, 0};
    CK_MECHANISM mechanism{CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep};
    ASSERT_EQ(C_SignInit(session_, &mechanism, 7), CKR_OK);
    const auto seen = requestsOf(0, FunctionId::SignInit);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_FALSE(seen[0].request.mechanism.has_oaep);
    // hashAlg, mgf, source, ulSourceDataLen as 32-bit words.
    EXPECT_EQ(seen[0].request.mechanism.parameter_length, 16u);
    EXPECT_EQ(seen[0].request.object, 7u);
    EXPECT_TRUE(context_->has(LOG_DEBUG, "Mechanism: 0x00000009"));
    EXPECT_EQ(context_->count("C_SignInit"), 0u);

    devices_[0]->setResponder([](const SeenRequest& seen) {
        return seen.functionId() == id(FunctionId::VerifyInit)
                   ? Reply::withRv(CKR_KEY_TYPE_INCONSISTENT)
                   : defaultAnswer(0, seen);
    });
    CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
    EXPECT_EQ(C_VerifyInit(session_, &ecdsa, 8), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_TRUE(context_->has(LOG_TRACE, "C_VerifyInit"));
    EXPECT_TRUE(context_->has(LOG_INFO, "SignVerifyInit returned 0x63"));

    EXPECT_EQ(C_SignInit(session_, nullptr, 7), CKR_ARGUMENTS_BAD);
    CK_MECHANISM broken{CKM_ECDSA, nullptr, 4};
    EXPECT_EQ(C_VerifyInit(session_, &broken, 7), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_SignInit(0xBAD, &ecdsa, 7), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(Crypto, UpdatesGoInPiecesOfAtMost2000Bytes) {
    std::vector<CK_BYTE> data(4500);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<CK_BYTE>(i * 31);
    }
    struct Case {
        CK_ULONG length;
        std::vector<size_t> pieces;
    };
    const Case cases[] = {{4500, {2000, 2000, 500}}, {2000, {2000}}, {0, {0}}};
    for (const Case& c : cases) {
        devices_[0]->clearRequests();
        ASSERT_EQ(C_DigestUpdate(session_, data.data(), c.length), CKR_OK);
        const auto seen = requestsOf(0, FunctionId::DigestUpdate);
        ASSERT_EQ(seen.size(), c.pieces.size()) << c.length;
        size_t offset = 0;
        for (size_t i = 0; i < seen.size(); ++i) {
            ASSERT_TRUE(seen[i].data.has_value());
            EXPECT_EQ(*seen[i].data,
                      Bytes(data.begin() + offset, data.begin() + offset + c.pieces[i]));
            EXPECT_EQ(seen[i].request.session, session_);
            offset += c.pieces[i];
        }
    }
    // The same loop serves signing and verification.
    devices_[0]->clearRequests();
    ASSERT_EQ(C_SignUpdate(session_, data.data(), 4500), CKR_OK);
    ASSERT_EQ(C_VerifyUpdate(session_, data.data(), 2001), CKR_OK);
    EXPECT_EQ(requestsOf(0, FunctionId::SignUpdate).size(), 3u);
    EXPECT_EQ(requestsOf(0, FunctionId::VerifyUpdate).size(), 2u);

    // A null part: refused by signing and digesting, one empty piece for
    // verification.
    EXPECT_EQ(C_SignUpdate(session_, nullptr, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_DigestUpdate(session_, nullptr, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_VerifyUpdate(session_, nullptr, 5), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(C_VerifyUpdate(session_, nullptr, 0), CKR_OK);
    const auto verify = requestsOf(0, FunctionId::VerifyUpdate);
    ASSERT_EQ(verify.size(), 3u);
    EXPECT_EQ(verify[2].data.value_or(Bytes{1}), Bytes{});
}

TEST_F(Crypto, FirstFailingPieceEndsTheUpdate) {
    // The responder outlives the test body (the fixture's tear-down still
    // closes the session through it), so the count lives with it.
    auto pieces = std::make_shared<int>(0);
    devices_[0]->setResponder([pieces](const SeenRequest&) {
        return Reply::withRv(++*pieces == 2 ? CKR_DEVICE_MEMORY : CKR_OK);
    });
    std::vector<CK_BYTE> data(6000);
    EXPECT_EQ(C_SignUpdate(session_, data.data(), data.size()), CKR_DEVICE_MEMORY);
    EXPECT_EQ(*pieces, 2);
}

TEST_F(Crypto, VerifySendsDataAndSignatureInOneRequest) {
    CK_BYTE data[] = {1, 2, 3};
    CK_BYTE signature[] = {9, 8};
    ASSERT_EQ(C_Verify(session_, data, sizeof data, signature, sizeof signature), CKR_OK);
    const auto seen = requestsOf(0, FunctionId::Verify);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].data, Bytes({1, 2, 3}));
    EXPECT_EQ(seen[0].data2, Bytes({9, 8}));
    ASSERT_EQ(C_VerifyFinal(session_, signature, sizeof signature), CKR_OK);
    EXPECT_EQ(requestsOf(0, FunctionId::VerifyFinal)[0].data, Bytes({9, 8}));

    // Refusals end the operation: a final part with an empty signature,
    // which never verifies.
    devices_[0]->clearRequests();
    EXPECT_EQ(C_Verify(session_, data, sizeof data, nullptr, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Verify(session_, nullptr, 3, signature, 2), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_VerifyFinal(session_, nullptr, 2), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_VerifyUpdate(session_, nullptr, 2), CKR_ARGUMENTS_BAD);
    const auto ends = devices_[0]->requests();
    ASSERT_EQ(ends.size(), 4u);
    for (const SeenRequest& end : ends) {
        EXPECT_EQ(end.functionId(), id(FunctionId::VerifyFinal));
        EXPECT_EQ(end.data, Bytes());
    }
}

TEST_F(Crypto, SignAndVerifyOfMoreThanOneRequestHoldsGoInPieces) {
    std::vector<CK_BYTE> data(4500, 0x21);
    CK_BYTE signature[512];
    CK_ULONG length = 32;
    ASSERT_EQ(C_Sign(session_, data.data(), data.size(), signature, &length), CKR_OK);
    EXPECT_EQ(length, 32u);
    const uint32_t update = id(FunctionId::SignUpdate);
    const uint32_t final = id(FunctionId::SignFinal);
    EXPECT_EQ(devices_[0]->functionIds(), (std::vector<uint32_t>{update, update, update, final}));
    // The final part carries the session alone.
    const auto finals = requestsOf(0, FunctionId::SignFinal);
    EXPECT_FALSE(finals[0].request.has_length_only);
    EXPECT_FALSE(finals[0].request.has_out_capacity);

    devices_[0]->clearRequests();
    CK_BYTE mac[32] = {7};
    ASSERT_EQ(C_Verify(session_, data.data(), 1990, mac, sizeof mac), CKR_OK);
    EXPECT_EQ(devices_[0]->functionIds(),
              (std::vector<uint32_t>{id(FunctionId::VerifyUpdate), id(FunctionId::VerifyFinal)}));
    EXPECT_EQ(requestsOf(0, FunctionId::VerifyFinal)[0].data, Bytes(mac, mac + 32));
    devices_[0]->clearRequests();
    ASSERT_EQ(C_Verify(session_, data.data(), 1900, mac, sizeof mac), CKR_OK);
    EXPECT_EQ(devices_[0]->functionIds(), std::vector<uint32_t>{id(FunctionId::Verify)});
}

TEST_F(Crypto, SignFinalSendsTheSessionAloneAndAnswersSizeQueriesItself) {
    // A size query gets the longest signature's length: the device would
    // answer a final part with the signature and end the operation.
    CK_ULONG length = 0;
    ASSERT_EQ(C_SignFinal(session_, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 512u);
    EXPECT_EQ(sent(), 0u);

    // A buffer of any size: the signature arrives through a buffer of the
    // longest length and is copied when it fits.
    CK_BYTE signature[64];
    length = 32;
    ASSERT_EQ(C_SignFinal(session_, signature, &length), CKR_OK);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(signature[0], 0x5C);
    const auto seen = requestsOf(0, FunctionId::SignFinal);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_FALSE(seen[0].request.has_length_only);
    EXPECT_FALSE(seen[0].request.has_out_capacity);

    // Too small: the length it needs, nothing written; the signature the
    // device made waits for the retry, which asks the device nothing.
    signature[0] = 0;
    length = 16;
    EXPECT_EQ(C_SignFinal(session_, signature, &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(signature[0], 0);
    devices_[0]->clearRequests();
    length = 0;
    EXPECT_EQ(C_SignFinal(session_, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 32u);
    length = sizeof signature;
    ASSERT_EQ(C_SignFinal(session_, signature, &length), CKR_OK);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(signature[0], 0x5C);
    EXPECT_EQ(sent(), 0u);
    // Taken once: the next final step asks the device again.
    length = sizeof signature;
    ASSERT_EQ(C_SignFinal(session_, signature, &length), CKR_OK);
    EXPECT_EQ(sent(), 1u);
    // A new signing operation drops a signature still held.
    length = 16;
    EXPECT_EQ(C_SignFinal(session_, signature, &length), CKR_BUFFER_TOO_SMALL);
    CK_MECHANISM hmac{CKM_SHA256_HMAC, nullptr, 0};
    ASSERT_EQ(C_SignInit(session_, &hmac, 3), CKR_OK);
    devices_[0]->clearRequests();
    length = sizeof signature;
    ASSERT_EQ(C_SignFinal(session_, signature, &length), CKR_OK);
    EXPECT_EQ(sent(), 1u);

    // No length pointer: refused, and the operation ends.
    devices_[0]->clearRequests();
    EXPECT_EQ(C_SignFinal(session_, signature, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(devices_[0]->functionIds(), std::vector<uint32_t>{id(FunctionId::SignFinal)});

    // A signature longer than any the device makes fails the call.
    devices_[0]->setResponder([](const SeenRequest&) {
        Reply reply = Reply::withRv(CKR_OK);
        reply.data = Bytes(600, 1);
        return reply;
    });
    length = 64;
    EXPECT_EQ(C_SignFinal(session_, signature, &length), CKR_FUNCTION_FAILED);
    EXPECT_EQ(length, 64u);
}

TEST_F(Crypto, DigestInitSendsTheBareFormWithoutALogLine) {
    CK_MECHANISM sha{CKM_SHA256, nullptr, 0};
    ASSERT_EQ(C_DigestInit(session_, &sha), CKR_OK);
    const auto seen = requestsOf(0, FunctionId::DigestInit);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].request.mechanism.type, CKM_SHA256);
    EXPECT_FALSE(seen[0].request.mechanism.has_parameter_length);
    EXPECT_EQ(context_->count("Mechanism: 0x00000250"), 0u);
    EXPECT_EQ(C_DigestInit(session_, nullptr), CKR_ARGUMENTS_BAD);
    CK_MECHANISM broken{CKM_SHA256, nullptr, 1};
    EXPECT_EQ(C_DigestInit(session_, &broken), CKR_ARGUMENTS_BAD);

    ASSERT_EQ(C_DigestKey(session_, 0x99), CKR_OK);
    EXPECT_EQ(requestsOf(0, FunctionId::DigestKey)[0].request.object, 0x99u);
}

TEST_F(Crypto, DigestFinalSizeQuerySendsLengthOnlyAndACapacityOfZero) {
    CK_ULONG length = 99;
    ASSERT_EQ(C_DigestFinal(session_, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 32u);
    CK_BYTE digest[64];
    length = sizeof digest;
    ASSERT_EQ(C_DigestFinal(session_, digest, &length), CKR_OK);
    EXPECT_EQ(length, 32u);
    const auto seen = requestsOf(0, FunctionId::DigestFinal);
    ASSERT_EQ(seen.size(), 2u);
    // Either field alone keeps a catalogue device from finishing the digest.
    EXPECT_TRUE(seen[0].request.length_only);
    EXPECT_TRUE(seen[0].request.has_out_capacity);
    EXPECT_EQ(seen[0].request.out_capacity, 0u);
    EXPECT_FALSE(seen[1].request.has_length_only);
    EXPECT_EQ(seen[1].request.out_capacity, 64u);

    // A device that judges the query by the capacity alone answers
    // CKR_BUFFER_TOO_SMALL with the length: the query still succeeds.
    devices_[0]->setResponder([](const SeenRequest& seen) {
        Reply reply = defaultAnswer(0, seen);
        reply.response.rv = CKR_BUFFER_TOO_SMALL;
        reply.response.has_length = true;
        reply.response.length = 48;
        return reply;
    });
    length = 0;
    EXPECT_EQ(C_DigestFinal(session_, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 48u);
    // Without a length pointer nothing can be reported.
    EXPECT_EQ(C_DigestFinal(session_, digest, nullptr), CKR_ARGUMENTS_BAD);
}

TEST_F(Crypto, DigestCases) {
    std::vector<CK_BYTE> data(2500, 3);
    CK_BYTE digest[64];

    // Data without a digest buffer: only the length query, no data sent.
    CK_ULONG length = 0;
    ASSERT_EQ(C_Digest(session_, data.data(), data.size(), nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(devices_[0]->functionIds(), std::vector<uint32_t>{id(FunctionId::DigestFinal)});

    // Data and a buffer: the data in pieces, then the final step.
    devices_[0]->clearRequests();
    context_->clearLines();
    length = sizeof digest;
    ASSERT_EQ(C_Digest(session_, data.data(), data.size(), digest, &length), CKR_OK);
    EXPECT_EQ(length, 32u);
    const uint32_t update = id(FunctionId::DigestUpdate);
    EXPECT_EQ(devices_[0]->functionIds(),
              (std::vector<uint32_t>{update, update, id(FunctionId::DigestFinal)}));
    EXPECT_TRUE(context_->has(LOG_TRACE, "C_DigestUpdate"));
    EXPECT_TRUE(context_->has(LOG_TRACE, "C_DigestFinal"));

    // A length without data: the final step still ends the operation, then
    // the refusal.
    devices_[0]->clearRequests();
    EXPECT_EQ(C_Digest(session_, nullptr, 5, nullptr, &length), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(devices_[0]->functionIds(), std::vector<uint32_t>{id(FunctionId::DigestFinal)});

    // The digest of nothing, and its size query.
    devices_[0]->clearRequests();
    length = sizeof digest;
    EXPECT_EQ(C_Digest(session_, nullptr, 0, digest, &length), CKR_OK);
    EXPECT_EQ(length, 32u);
    length = 0;
    EXPECT_EQ(C_Digest(session_, nullptr, 0, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 32u);
    const auto finals = requestsOf(0, FunctionId::DigestFinal);
    ASSERT_EQ(finals.size(), 2u);
    EXPECT_TRUE(finals[1].request.length_only);
}

TEST_F(Crypto, DigestIntoASmallBufferSendsNoDataUntilItFits) {
    std::vector<CK_BYTE> data(100, 3);
    CK_BYTE digest[64];
    CK_ULONG length = 20;
    EXPECT_EQ(C_Digest(session_, data.data(), data.size(), digest, &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 32u);
    EXPECT_TRUE(requestsOf(0, FunctionId::DigestUpdate).empty());

    // The retry with the length asked for digests the data once.
    ASSERT_EQ(C_Digest(session_, data.data(), data.size(), digest, &length), CKR_OK);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(requestsOf(0, FunctionId::DigestUpdate).size(), 1u);
}

}  // namespace
}  // namespace vexa::test
