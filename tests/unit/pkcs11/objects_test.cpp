// The object functions over in-memory devices: argument checks, attribute
// values handed out under PKCS#11's size-query and too-small rules, found
// handles, and the results copied only from replies that carry them.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "sim/firmware/codec.h"
#include "unit/pkcs11/module_fixture.h"

namespace vexa::test {
namespace {

using sim::DeviceAttribute;
using Bytes = std::vector<uint8_t>;

Reply deviceReply(const sim::DeviceResponse& response) {
    Bytes bytes;
    EXPECT_TRUE(sim::encodeResponse(response, bytes));
    return Reply::rawBytes(bytes);
}

Reply attributesReply(CK_RV rv, std::vector<DeviceAttribute> attributes) {
    sim::DeviceResponse response;
    response.rv = static_cast<uint32_t>(rv);
    response.attributes = std::move(attributes);
    return deviceReply(response);
}

class Objects : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_EQ(initialize(), CKR_OK);
        session_ = openSession(0);
    }
    void answer(Reply reply) {
        devices_[0]->setResponder([reply](const SeenRequest&) { return reply; });
    }
    size_t sent(FunctionId f) const { return requestsOf(0, f).size(); }

    CK_SESSION_HANDLE session_ = 0;
};

// A certificate-like object as the device reports it.
std::vector<DeviceAttribute> certificate() {
    return {DeviceAttribute::ofUlong(CKA_CLASS, CKO_CERTIFICATE),
            DeviceAttribute::ofBool(CKA_TOKEN, true),
            DeviceAttribute::ofBytes(CKA_LABEL, {'c', 'e', 'r', 't'}),
            DeviceAttribute::ofLength(CKA_VALUE, 0xFFFFFFFF)};
}

TEST_F(Objects, SizeQueryReportsHostLengthsAndTheDevicesCode) {
    answer(attributesReply(CKR_ATTRIBUTE_SENSITIVE, certificate()));
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, nullptr, 0},
                           {CKA_TOKEN, nullptr, 0},
                           {CKA_LABEL, nullptr, 0},
                           {CKA_VALUE, nullptr, 0},
                           {CKA_ID, nullptr, 77}};
    EXPECT_EQ(C_GetAttributeValue(session_, 5, tmpl, 5), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(tmpl[0].ulValueLen, sizeof(CK_ULONG));
    EXPECT_EQ(tmpl[1].ulValueLen, 1u);
    EXPECT_EQ(tmpl[2].ulValueLen, 4u);
    EXPECT_EQ(tmpl[3].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(tmpl[4].ulValueLen, 77u);  // not in the reply: untouched
    const auto seen = requestsOf(0, FunctionId::GetAttributeValue);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].request.object, 5u);
    EXPECT_EQ(seen[0].request.session, session_);
}

TEST_F(Objects, NumbersReadBackAsHostValues) {
    // The wire's all ones is CK_UNAVAILABLE_INFORMATION, in integer form or
    // as 4 bytes; a bit count (byte form on the wire) is a whole CK_ULONG.
    answer(attributesReply(CKR_OK,
                           {DeviceAttribute::ofUlong(CKA_KEY_GEN_MECHANISM, 0xFFFFFFFF),
                            DeviceAttribute::ofBytes(CKA_MODULUS_BITS, {0xFF, 0xFF, 0xFF, 0xFF}),
                            DeviceAttribute::ofUlong(CKA_KEY_TYPE, CKK_AES),
                            DeviceAttribute::ofBytes(CKA_VALUE_BITS, {0x00, 0x04, 0, 0})}));
    CK_ULONG mechanism = 0, bits = 0, type = 0, valueBits = 0;
    CK_ATTRIBUTE tmpl[] = {{CKA_KEY_GEN_MECHANISM, &mechanism, sizeof mechanism},
                           {CKA_MODULUS_BITS, &bits, sizeof bits},
                           {CKA_KEY_TYPE, &type, sizeof type},
                           {CKA_VALUE_BITS, &valueBits, sizeof valueBits}};
    ASSERT_EQ(C_GetAttributeValue(session_, 5, tmpl, 4), CKR_OK);
    EXPECT_EQ(mechanism, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(bits, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(type, CKK_AES);
    EXPECT_EQ(valueBits, 1024u);
    EXPECT_EQ(tmpl[3].ulValueLen, sizeof(CK_ULONG));
}

TEST_F(Objects, BitCountsTravelAsFourBytes) {
    answer(Reply::withRv(CKR_OK));
    CK_ULONG primeBits = 2048;
    CK_OBJECT_CLASS cls = CKO_DOMAIN_PARAMETERS;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                           {CKA_PRIME_BITS, &primeBits, sizeof primeBits}};
    CK_OBJECT_HANDLE handle = 0;
    C_CreateObject(session_, tmpl, 2, &handle);
    const auto seen = devices_[0]->requests();
    ASSERT_FALSE(seen.empty());
    const auto decoded = sim::decodeRequest(seen.back().encoded.data(), seen.back().encoded.size());
    ASSERT_TRUE(decoded.has_value());
    ASSERT_EQ(decoded->templ.size(), 2u);
    EXPECT_EQ(decoded->templ[1].length, 4u);
    EXPECT_EQ(decoded->templ[1].bytes, (std::vector<uint8_t>{0x00, 0x08, 0, 0}));
}

TEST_F(Objects, BufferTooSmallMarksTheEntryUnlessTheDeviceAlreadyFailed) {
    for (const CK_RV deviceRv : {CKR_OK, CKR_ATTRIBUTE_SENSITIVE}) {
        SCOPED_TRACE(deviceRv);
        answer(attributesReply(deviceRv, certificate()));
        CK_OBJECT_CLASS cls = 0;
        CK_BBOOL token = 0x7F;
        CK_BYTE label[3] = {};  // one byte short
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                               {CKA_LABEL, label, sizeof label},
                               {CKA_TOKEN, &token, sizeof token},
                               {CKA_CLASS, &cls, sizeof cls}};
        EXPECT_EQ(C_GetAttributeValue(session_, 5, tmpl, 4),
                  deviceRv == CKR_OK ? CKR_BUFFER_TOO_SMALL : deviceRv);
        EXPECT_EQ(cls, CKO_CERTIFICATE);
        EXPECT_EQ(tmpl[0].ulValueLen, sizeof(CK_ULONG));
        EXPECT_EQ(tmpl[3].ulValueLen, sizeof(CK_ULONG));  // the same type twice
        EXPECT_EQ(tmpl[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
        EXPECT_EQ(label[0], 0);
        EXPECT_EQ(token, CK_TRUE);
        EXPECT_EQ(tmpl[2].ulValueLen, 1u);
    }
}

TEST_F(Objects, ValuesLeftOutOfAFullReplyAreFetchedOnTheirOwn) {
    // The responder outlives the test body (the fixture's tear-down still
    // closes the session through it), so the count lives with it.
    auto calls = std::make_shared<int>(0);
    devices_[0]->setResponder([calls](const SeenRequest& seen) {
        if (seen.functionId() != id(FunctionId::GetAttributeValue)) {
            return Reply::withRv(CKR_OK);
        }
        ++*calls;
        if (*calls == 1) {
            return attributesReply(CKR_OK, {DeviceAttribute::ofBytes(CKA_LABEL, {'x'}),
                                            DeviceAttribute::ofLength(CKA_VALUE, 3)});
        }
        return attributesReply(CKR_OK, {DeviceAttribute::ofBytes(CKA_VALUE, {1, 2, 3})});
    });
    CK_BYTE label[8] = {};
    CK_BYTE value[8] = {};
    CK_ATTRIBUTE tmpl[] = {{CKA_LABEL, label, sizeof label}, {CKA_VALUE, value, sizeof value}};
    EXPECT_EQ(C_GetAttributeValue(session_, 9, tmpl, 2), CKR_OK);
    EXPECT_EQ(*calls, 2);
    EXPECT_EQ(tmpl[1].ulValueLen, 3u);
    EXPECT_EQ(value[2], 3);
    EXPECT_EQ(tmpl[0].ulValueLen, 1u);
}

TEST_F(Objects, AValueThatNeverComesWholeIsAFailureNotGarbage) {
    answer(attributesReply(CKR_OK, {DeviceAttribute::ofLength(CKA_VALUE, 6)}));
    CK_BYTE value[8] = {0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC};
    CK_ATTRIBUTE tmpl[] = {{CKA_VALUE, value, sizeof value}};
    EXPECT_EQ(C_GetAttributeValue(session_, 9, tmpl, 1), CKR_FUNCTION_FAILED);
    EXPECT_EQ(tmpl[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(value[0], 0xCC);
}

TEST_F(Objects, MoreThanFortyAttributesFailTheCall) {
    std::vector<DeviceAttribute> many;
    for (uint32_t i = 0; i < 41; ++i) {
        many.push_back(DeviceAttribute::ofBool(CKA_TOKEN, true));
    }
    answer(attributesReply(CKR_OK, many));
    CK_ATTRIBUTE tmpl[] = {{CKA_TOKEN, nullptr, 0}};
    EXPECT_EQ(C_GetAttributeValue(session_, 1, tmpl, 1), CKR_FUNCTION_FAILED);
}

TEST_F(Objects, ArgumentChecksSendNothing) {
    const size_t before = devices_[0]->requests().size();
    CK_OBJECT_HANDLE h = 0;
    CK_ULONG count = 0;
    CK_ATTRIBUTE one[] = {{CKA_LABEL, nullptr, 0}};
    EXPECT_EQ(C_GetAttributeValue(session_, 1, nullptr, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GetAttributeValue(session_, 1, one, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_SetAttributeValue(session_, 1, one, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_CreateObject(session_, one, 0, &h), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_CreateObject(session_, one, 1, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_CopyObject(session_, 1, nullptr, 0, &h), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GetObjectSize(session_, 1, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_FindObjects(session_, &h, 0, &count), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_FindObjects(session_, nullptr, 1, &count), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_FindObjects(session_, &h, 1, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_DestroyObject(session_, 0x100000000ul), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_DestroyObject(0x4242, 1), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(devices_[0]->requests().size(), before);
}

TEST_F(Objects, FoundHandlesAreWholeWordsAndNeverMoreThanAsked) {
    sim::DeviceResponse response;
    response.data = Bytes{1, 0, 0, 0, 0x02, 0x01, 0, 0x80, 0xFF, 0xFF};  // 10 bytes
    answer(deviceReply(response));
    CK_OBJECT_HANDLE found[4] = {};
    CK_ULONG count = 99;
    EXPECT_EQ(C_FindObjects(session_, found, 4, &count), CKR_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(found[0], 1u);
    EXPECT_EQ(found[1], 0x80000102u);
    EXPECT_EQ(requestsOf(0, FunctionId::FindObjects)[0].request.out_capacity, 4u);

    // A device that sends more than the caller's room: nothing stored
    // beyond it, and the loss is reported.
    response.data = Bytes(12, 0x01);
    answer(deviceReply(response));
    CK_OBJECT_HANDLE room[3] = {0, 0, 0x77};
    EXPECT_EQ(C_FindObjects(session_, room, 2, &count), CKR_DEVICE_ERROR);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(room[2], 0x77u);

    response.data = Bytes(2052, 0x01);
    answer(deviceReply(response));
    std::vector<CK_OBJECT_HANDLE> many(600);
    EXPECT_EQ(C_FindObjects(session_, many.data(), many.size(), &count), CKR_FUNCTION_FAILED);
}

TEST_F(Objects, ResultsComeOnlyFromRepliesThatCarryThem) {
    sim::DeviceResponse response;
    response.rv = CKR_OK;
    answer(deviceReply(response));
    CK_ULONG size = 1234;
    EXPECT_EQ(C_GetObjectSize(session_, 3, &size), CKR_OK);
    EXPECT_EQ(size, 0u);  // no length in the reply

    response.length = 321;
    answer(deviceReply(response));
    EXPECT_EQ(C_GetObjectSize(session_, 3, &size), CKR_OK);
    EXPECT_EQ(size, 321u);

    response.rv = CKR_TEMPLATE_INCOMPLETE;
    answer(deviceReply(response));
    CK_OBJECT_HANDLE handle = 55;
    CK_ATTRIBUTE one[] = {{CKA_LABEL, nullptr, 0}};
    EXPECT_EQ(C_CreateObject(session_, one, 1, &handle), CKR_TEMPLATE_INCOMPLETE);
    EXPECT_EQ(handle, 55u);

    response.rv = CKR_OK;
    response.handle = 0x10007;
    answer(deviceReply(response));
    EXPECT_EQ(C_CreateObject(session_, one, 1, &handle), CKR_OK);
    EXPECT_EQ(handle, 0x10007u);
}

TEST_F(Objects, CopyLogsItsFailureAndSendsAnEmptyTemplate) {
    answer(Reply::noReply());
    CK_OBJECT_HANDLE copy = 0;
    CK_ATTRIBUTE none[1] = {};
    EXPECT_EQ(C_CopyObject(session_, 4, none, 0, &copy), CKR_FUNCTION_FAILED);
    EXPECT_TRUE(context_->has(talvoranth::LOG_ERROR, "copy obj failed"));
    EXPECT_EQ(requestsOf(0, FunctionId::CopyObject)[0].request.object, 4u);

    context_->clearLines();
    answer(Reply::withRv(CKR_ACTION_PROHIBITED));
    EXPECT_EQ(C_CopyObject(session_, 4, none, 0, &copy), CKR_ACTION_PROHIBITED);
    EXPECT_EQ(context_->count("copy obj failed"), 0u);
}

TEST_F(Objects, ATemplateTooLargeForOneRequestIsNeverSent) {
    std::vector<CK_BYTE> value(2100, 0x33);
    CK_ATTRIBUTE tmpl[] = {{CKA_VALUE, value.data(), value.size()}};
    CK_OBJECT_HANDLE handle = 0;
    EXPECT_EQ(C_CreateObject(session_, tmpl, 1, &handle), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(sent(FunctionId::CreateObject), 0u);
}

TEST_F(Objects, EveryFunctionLogsItsNameAndNeedsAnInitialisedModule) {
    ASSERT_EQ(C_FindObjectsFinal(session_), CKR_OK);
    EXPECT_TRUE(context_->has(talvoranth::LOG_TRACE, "C_FindObjectsFinal"));
    ASSERT_EQ(C_FindObjectsInit(session_, nullptr, 5), CKR_OK);
    EXPECT_TRUE(context_->has(talvoranth::LOG_TRACE, "C_FindObjectsInit"));
    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(C_DestroyObject(session_, 1), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_TRUE(context_->has(talvoranth::LOG_TRACE, "C_DestroyObject"));
}

}  // namespace
}  // namespace vexa::test
