// Attribute templates as they leave the module and as the device's own
// decoder reads them back; replies decoded into the received-attribute list.
#include <gtest/gtest.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstring>
#include <vector>

#include "pkcs11/template_codec.h"
#include "sim/firmware/codec.h"
#include "support/function_id.h"

namespace vexa::test {
namespace {

using F = FunctionId;
using pkcs11::AttributeForm;
using pkcs11::AttributeList;
using pkcs11::TemplateRef;
using sim::DeviceAttribute;
using Form = DeviceAttribute::Form;
using Bytes = std::vector<uint8_t>;

// Encodes a C_CreateObject request with `ref` (types only when asked) and
// decodes it with the device's decoder.
std::vector<DeviceAttribute> sent(TemplateRef ref, bool typesOnly = false) {
    Request request = Request_init_zero;
    request.function_id = id(F::CreateObject);
    if (typesOnly) {
        pkcs11::bindTypes(request.template_, ref);
    } else {
        pkcs11::bindTemplate(request.template_, ref);
    }
    uint8_t buffer[2048];
    pb_ostream_t out = pb_ostream_from_buffer(buffer, sizeof buffer);
    EXPECT_TRUE(pb_encode(&out, Request_fields, &request)) << PB_GET_ERROR(&out);
    const auto decoded = sim::decodeRequest(buffer, out.bytes_written);
    EXPECT_TRUE(decoded.has_value());
    return decoded ? decoded->templ : std::vector<DeviceAttribute>{};
}

TEST(TemplateCodec, EachAttributeTravelsInTheFormOfItsType) {
    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_BBOOL token = 0x02;  // any non-zero byte is true
    CK_BYTE falseByte = 0;
    CK_BYTE label[] = {'l', 'b', 'l'};
    uint32_t shortLen = 16;  // less than a host CK_ULONG: sent as its bytes
    CK_BBOOL vendor = CK_TRUE;
    CK_ATTRIBUTE tmpl[] = {
        {CKA_CLASS, &cls, sizeof cls},
        {CKA_TOKEN, &token, 1},
        {CKA_PRIVATE, &falseByte, 1},
        {CKA_LABEL, label, sizeof label},
        {CKA_VALUE_LEN, &shortLen, sizeof shortLen},
        {CKA_CLASS, nullptr, 0},
        {CKA_SIGN, &token, 0},
        {CKA_VENDOR_DEFINED + 2, &vendor, 1},
        {CKA_DERIVE, &token, 1},
        {CKA_MODIFIABLE, &falseByte, 1},
    };
    const auto wire = sent({tmpl, 10});
    ASSERT_EQ(wire.size(), 10u);

    struct Expect {
        uint32_t type;
        Form form;
        uint32_t ulongValue;
        bool boolValue;
        uint32_t length;
        Bytes bytes;
    };
    const Expect expected[] = {
        {CKA_CLASS, Form::Ulong, CKO_DATA, false, 0, {}},
        {CKA_TOKEN, Form::Bool, 0, true, 0, {}},
        {CKA_PRIVATE, Form::Bool, 0, false, 0, {}},
        {CKA_LABEL, Form::Bytes, 0, false, 3, {'l', 'b', 'l'}},
        {CKA_VALUE_LEN, Form::Bytes, 0, false, 4, {16, 0, 0, 0}},
        {CKA_CLASS, Form::Bytes, 0, false, 0, {}},
        {CKA_SIGN, Form::Bytes, 0, false, 0, {}},
        {CKA_VENDOR_DEFINED + 2, Form::Bool, 0, true, 0, {}},
        {CKA_DERIVE, Form::Bool, 0, true, 0, {}},
        {CKA_MODIFIABLE, Form::Bool, 0, false, 0, {}},
    };
    for (size_t i = 0; i < wire.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(wire[i].type, expected[i].type);
        EXPECT_EQ(wire[i].form, expected[i].form);
        if (expected[i].form == Form::Ulong) {
            EXPECT_EQ(wire[i].ulongValue, expected[i].ulongValue);
        } else if (expected[i].form == Form::Bool) {
            EXPECT_EQ(wire[i].boolValue, expected[i].boolValue);
        } else {
            EXPECT_EQ(wire[i].length, expected[i].length);
            EXPECT_EQ(wire[i].bytes, expected[i].bytes);
        }
    }
}

TEST(TemplateCodec, NullValueWithALengthSendsTheLengthAndNoBytes) {
    CK_ATTRIBUTE tmpl[] = {{CKA_VALUE, nullptr, 16}};
    const auto wire = sent({tmpl, 1});
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0].form, Form::Bytes);
    EXPECT_EQ(wire[0].length, 16u);
    EXPECT_TRUE(wire[0].bytes.empty());
    // The caller's template is an input and is left as it was.
    EXPECT_EQ(tmpl[0].ulValueLen, 16u);
}

TEST(TemplateCodec, ArraysTravelAsTwelveByteRecordsWithoutPointers) {
    CK_BBOOL yes = CK_TRUE;
    CK_KEY_TYPE aes = CKK_AES;
    CK_ATTRIBUTE elements[] = {{CKA_EXTRACTABLE, &yes, sizeof yes},
                               {CKA_KEY_TYPE, &aes, sizeof aes}};
    CK_ATTRIBUTE tmpl[] = {{CKA_WRAP_TEMPLATE, elements, sizeof elements}};
    const auto wire = sent({tmpl, 1});
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0].form, Form::Bytes);
    EXPECT_EQ(wire[0].length, 24u);
    const Bytes records = {
        0x62, 0x01, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x00, 0x01, 0, 0, 0, 0, 0, 0, sizeof(CK_KEY_TYPE),
        0,    0,    0};
    EXPECT_EQ(wire[0].bytes, records);
}

TEST(TemplateCodec, TypesOnlyCarryNoValues) {
    CK_BYTE buffer[64];
    CK_ATTRIBUTE tmpl[] = {{CKA_LABEL, buffer, sizeof buffer}, {CKA_CLASS, nullptr, 0}};
    const auto wire = sent({tmpl, 2}, /*typesOnly=*/true);
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].type, CKA_LABEL);
    EXPECT_EQ(wire[0].form, Form::TypeOnly);
    EXPECT_EQ(wire[1].type, CKA_CLASS);
    EXPECT_EQ(wire[1].form, Form::TypeOnly);
}

// The generic way to send types only: one Attribute submessage per entry.
bool encodeTypesGenerically(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* ref = static_cast<const TemplateRef*>(*arg);
    for (CK_ULONG i = 0; i < ref->count; ++i) {
        Attribute message = Attribute_init_zero;
        message.type = static_cast<uint32_t>(ref->attributes[i].type);
        if (!pb_encode_tag_for_field(stream, field) ||
            !pb_encode_submessage(stream, Attribute_fields, &message)) {
            return false;
        }
    }
    return true;
}

Bytes encodedTypes(TemplateRef& ref, bool generic) {
    Request request = Request_init_zero;
    request.function_id = id(F::GetAttributeValue);
    if (generic) {
        request.template_.funcs.encode = &encodeTypesGenerically;
        request.template_.arg = &ref;
    } else {
        pkcs11::bindTypes(request.template_, ref);
    }
    uint8_t buffer[2048];
    pb_ostream_t out = pb_ostream_from_buffer(buffer, sizeof buffer);
    EXPECT_TRUE(pb_encode(&out, Request_fields, &request)) << PB_GET_ERROR(&out);
    return Bytes(buffer, buffer + out.bytes_written);
}

TEST(TemplateCodec, TypesOnlyAreTheBytesOfTheGenericSubmessageEncoder) {
    // Types of every varint length, up to the widest the wire carries.
    CK_ATTRIBUTE tmpl[] = {{0, nullptr, 0},
                           {CKA_LABEL, nullptr, 0},
                           {0x7F, nullptr, 0},
                           {0x80, nullptr, 0},
                           {0x3FFF, nullptr, 0},
                           {0x4000, nullptr, 0},
                           {CKA_VENDOR_DEFINED, nullptr, 0},
                           {0xFFFFFFFF, nullptr, 0}};
    TemplateRef ref{tmpl, 8};
    EXPECT_EQ(encodedTypes(ref, false), encodedTypes(ref, true));
}

TEST(TemplateCodec, ValuesTheWireCannotCarryAreRefusedBeforeEncoding) {
    CK_ULONG wide = 0x100000000ul;
    CK_ULONG unavailable = CK_UNAVAILABLE_INFORMATION;
    CK_BYTE bytes[5] = {};
    CK_ATTRIBUTE elements[] = {{wide, nullptr, 0}};
    std::vector<CK_ATTRIBUTE> many(200, CK_ATTRIBUTE{CKA_TOKEN, nullptr, 1});
    struct Case {
        CK_ATTRIBUTE attribute;
        CK_RV rv;
    };
    const Case cases[] = {
        {{CKA_CLASS, &wide, sizeof wide}, CKR_ARGUMENTS_BAD},
        {{CKA_CLASS, &unavailable, sizeof unavailable}, CKR_OK},
        {{wide, bytes, sizeof bytes}, CKR_ARGUMENTS_BAD},
        {{CKA_WRAP_TEMPLATE, bytes, sizeof bytes}, CKR_ATTRIBUTE_VALUE_INVALID},
        {{CKA_WRAP_TEMPLATE, elements, sizeof elements}, CKR_ARGUMENTS_BAD},
        {{CKA_LABEL, bytes, sizeof bytes}, CKR_OK},
        {{CKA_WRAP_TEMPLATE, nullptr, CK_UNAVAILABLE_INFORMATION}, CKR_OK},
        {{CKA_WRAP_TEMPLATE, bytes, CK_UNAVAILABLE_INFORMATION}, CKR_ATTRIBUTE_VALUE_INVALID},
        {{CKA_WRAP_TEMPLATE, many.data(), many.size() * sizeof(CK_ATTRIBUTE)}, CKR_DATA_LEN_RANGE},
    };
    for (const Case& c : cases) {
        CK_ATTRIBUTE attribute = c.attribute;
        EXPECT_EQ(pkcs11::checkTemplate({&attribute, 1}), c.rv) << std::hex << attribute.type;
    }
    CK_ATTRIBUTE wideType{wide, nullptr, 0};
    EXPECT_EQ(pkcs11::checkTypes({&wideType, 1}), CKR_ARGUMENTS_BAD);
}

// Decodes a reply with `attributes` into `list`; false when it is refused.
bool received(const std::vector<DeviceAttribute>& attributes, AttributeList& list) {
    sim::DeviceResponse response;
    response.attributes = attributes;
    Bytes bytes;
    EXPECT_TRUE(sim::encodeResponse(response, bytes));
    Response decoded = Response_init_zero;
    pkcs11::bindAttributes(decoded.attributes, list);
    pb_istream_t in = pb_istream_from_buffer(bytes.data(), bytes.size());
    return pb_decode(&in, Response_fields, &decoded);
}

TEST(TemplateCodec, RepliesBecomeHostValues) {
    AttributeList list;
    ASSERT_TRUE(received(
        {DeviceAttribute::ofUlong(CKA_CLASS, CKO_CERTIFICATE),
         DeviceAttribute::ofBool(CKA_TOKEN, true), DeviceAttribute::ofBytes(CKA_LABEL, {'c', '1'}),
         DeviceAttribute::ofLength(CKA_VALUE, 0xFFFFFFFF),
         DeviceAttribute::ofBytes(CKA_KEY_TYPE, {3, 0, 0, 0})},
        list));
    ASSERT_EQ(list.size(), 5u);

    EXPECT_EQ(list[0].hostLength(), sizeof(CK_ULONG));
    CK_ULONG cls = ~CK_ULONG{0};
    list[0].copyTo(&cls);
    EXPECT_EQ(cls, CKO_CERTIFICATE);  // zero-extended over the whole CK_ULONG

    EXPECT_EQ(list[1].hostLength(), 1u);
    CK_BYTE flag[2] = {0x7F, 0x7F};
    list[1].copyTo(flag);
    EXPECT_EQ(flag[0], 0x01);
    EXPECT_EQ(flag[1], 0x7F);

    EXPECT_EQ(list[2].hostLength(), 2u);
    EXPECT_EQ(list[3].hostLength(), CK_UNAVAILABLE_INFORMATION);
    EXPECT_FALSE(list[3].truncated());

    // An integer that arrives as its four wire bytes is a host CK_ULONG too.
    EXPECT_EQ(list[4].form, AttributeForm::Integer);
    CK_KEY_TYPE keyType = ~CK_ULONG{0};
    list[4].copyTo(&keyType);
    EXPECT_EQ(keyType, CKK_EC);
}

TEST(TemplateCodec, ArrayRepliesFillTypeAndLengthOfTheCallersElements) {
    const Bytes records = {0x62, 0x01, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE, 1, 0, 0, 0,
                           0x00, 0x01, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE, 4, 0, 0, 0};
    AttributeList list;
    ASSERT_TRUE(received({DeviceAttribute::ofBytes(CKA_UNWRAP_TEMPLATE, records)}, list));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].hostLength(), 2 * sizeof(CK_ATTRIBUTE));
    CK_BYTE mine[4];
    CK_ATTRIBUTE elements[2] = {{0, mine, 99}, {0, nullptr, 99}};
    list[0].copyTo(elements);
    EXPECT_EQ(elements[0].type, CKA_EXTRACTABLE);
    EXPECT_EQ(elements[0].ulValueLen, 1u);
    EXPECT_EQ(elements[0].pValue, mine);  // the wire's pointer word is never taken
    EXPECT_EQ(elements[1].type, CKA_KEY_TYPE);
    EXPECT_EQ(elements[1].ulValueLen, 4u);
    EXPECT_EQ(elements[1].pValue, nullptr);
}

TEST(TemplateCodec, FortyAttributesDecodeAndTheFortyFirstIsRefused) {
    std::vector<DeviceAttribute> attributes;
    for (uint32_t i = 0; i < 40; ++i) {
        attributes.push_back(DeviceAttribute::ofBytes(0x1000 + i, Bytes(i, 0x5A)));
    }
    AttributeList forty;
    ASSERT_TRUE(received(attributes, forty));
    EXPECT_EQ(forty.size(), 40u);
    EXPECT_EQ(forty.find(0x1000 + 39)->hostLength(), 39u);

    attributes.push_back(DeviceAttribute::ofBool(CKA_TOKEN, false));
    AttributeList more;
    EXPECT_FALSE(received(attributes, more));
}

TEST(TemplateCodec, LengthsBeyondTheBytesReceivedAreMarkedTruncated) {
    AttributeList list;
    ASSERT_TRUE(received({DeviceAttribute::ofLength(CKA_VALUE, 1500)}, list));
    EXPECT_TRUE(list[0].truncated());
    EXPECT_EQ(list[0].hostLength(), 1500u);
    CK_BYTE untouched[4] = {9, 9, 9, 9};
    list[0].copyTo(untouched);  // nothing arrived, nothing is copied
    EXPECT_EQ(untouched[0], 9);
}

TEST(TemplateCodec, AllocatedBytesAreBoundedBy2048) {
    for (const size_t size : {size_t{0}, size_t{10}, size_t{2048}, size_t{2049}}) {
        sim::DeviceResponse response;
        response.data = Bytes(size, 0x42);
        Bytes bytes;
        ASSERT_TRUE(sim::encodeResponse(response, bytes));
        Response decoded = Response_init_zero;
        pkcs11::AllocatedBytes out;
        pkcs11::bindAllocated(decoded.data, out);
        pb_istream_t in = pb_istream_from_buffer(bytes.data(), bytes.size());
        const bool ok = pb_decode(&in, Response_fields, &decoded);
        EXPECT_EQ(ok, size <= 2048) << size;
        if (ok) {
            EXPECT_EQ(out.length, size);
        }
    }
}

}  // namespace
}  // namespace vexa::test
