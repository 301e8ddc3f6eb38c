// The firmware's codec against the schema: every field, nested byte
// strings inside the mechanism's parameter messages included, survives a
// round trip; limits and broken input are refused rather than trusted.
#include <gtest/gtest.h>

#include "sim/firmware/codec.h"
#include "support/function_id.h"

namespace vexa::sim {
namespace {

using F = rpc::FunctionId;
using test::id;

DeviceRequest fullRequest() {
    DeviceRequest r;
    r.functionId = id(F::GenerateKeyPair);
    r.session = 7;
    r.data = Bytes{1, 2, 3};
    r.data2 = Bytes{};  // present but empty
    r.object = 0xFFFFFFFF;
    r.lengthOnly = false;
    r.value = 3;
    r.outCapacity = 2048;
    r.object2 = 9;
    r.templ = {DeviceAttribute::ofUlong(0x0, 3), DeviceAttribute::ofBool(0x1, true),
               DeviceAttribute::ofBytes(0x3, Bytes{'l', 'b', 'l'}),
               DeviceAttribute::ofLength(0x11, 16)};
    r.templ2 = {DeviceAttribute::ofBool(0x2, false)};
    DeviceMechanism m;
    m.type = 0x9;
    m.parameterLength = 40;
    m.parameter = Bytes{0xAA, 0xBB};
    OaepParameters oaep;
    oaep.hashAlg = 0x250;
    oaep.mgf = 2;
    oaep.source = 1;
    oaep.sourceDataLength = 4;
    oaep.sourceData = Bytes{'l', 'a', 'b', 'l'};
    m.oaep = oaep;
    Ecdh1DeriveParameters ecdh;
    ecdh.kdf = 1;
    ecdh.publicData = Bytes(65, 0x04);
    m.ecdh = ecdh;
    r.mechanism = m;
    return r;
}

void expectSameAttributes(const std::vector<DeviceAttribute>& a,
                          const std::vector<DeviceAttribute>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(a[i].type, b[i].type);
        EXPECT_EQ(a[i].form, b[i].form);
        EXPECT_EQ(a[i].ulongValue, b[i].ulongValue);
        EXPECT_EQ(a[i].boolValue, b[i].boolValue);
        EXPECT_EQ(a[i].length, b[i].length);
        EXPECT_EQ(a[i].bytes, b[i].bytes);
    }
}

TEST(Codec, RequestRoundTripKeepsEveryField) {
    const DeviceRequest in = fullRequest();
    Bytes wire;
    ASSERT_TRUE(encodeRequest(in, wire));
    std::string error;
    std::optional<DeviceRequest> out = decodeRequest(wire.data(), wire.size(), &error);
    ASSERT_TRUE(out) << error;
    EXPECT_EQ(out->functionId, id(F::GenerateKeyPair));
    EXPECT_EQ(out->session, 7u);
    EXPECT_EQ(out->data, in.data);
    ASSERT_TRUE(out->data2);
    EXPECT_TRUE(out->data2->empty());
    EXPECT_EQ(out->object, 0xFFFFFFFFu);
    EXPECT_EQ(out->lengthOnly, false);
    EXPECT_EQ(out->value, 3u);
    EXPECT_EQ(out->outCapacity, 2048u);
    EXPECT_EQ(out->object2, 9u);
    expectSameAttributes(out->templ, in.templ);
    expectSameAttributes(out->templ2, in.templ2);
    ASSERT_TRUE(out->mechanism);
    const DeviceMechanism& m = *out->mechanism;
    EXPECT_EQ(m.type, 0x9u);
    EXPECT_EQ(m.parameterLength, 40u);
    EXPECT_EQ(m.parameter, in.mechanism->parameter);
    ASSERT_TRUE(m.oaep);
    EXPECT_EQ(m.oaep->hashAlg, 0x250u);
    EXPECT_EQ(m.oaep->mgf, 2u);
    EXPECT_EQ(m.oaep->source, 1u);
    EXPECT_EQ(m.oaep->sourceDataLength, 4u);
    EXPECT_EQ(m.oaep->sourceData, in.mechanism->oaep->sourceData);
    ASSERT_TRUE(m.ecdh);
    EXPECT_EQ(m.ecdh->kdf, 1u);
    EXPECT_FALSE(m.ecdh->sharedData);
    EXPECT_EQ(m.ecdh->publicData, in.mechanism->ecdh->publicData);
}

TEST(Codec, AbsentFieldsStayAbsent) {
    DeviceRequest in;
    in.functionId = id(F::GetTokenInfo);
    Bytes wire;
    ASSERT_TRUE(encodeRequest(in, wire));
    std::optional<DeviceRequest> out = decodeRequest(wire.data(), wire.size());
    ASSERT_TRUE(out);
    EXPECT_FALSE(out->session || out->data || out->data2 || out->mechanism || out->object ||
                 out->lengthOnly || out->value || out->outCapacity || out->object2);
    EXPECT_TRUE(out->templ.empty());
}

TEST(Codec, TypeOnlyAttributesDecodeAsTypeOnly) {
    DeviceRequest in;
    in.functionId = id(F::GetAttributeValue);
    DeviceAttribute a;
    a.type = 0x11;
    in.templ = {a};
    Bytes wire;
    ASSERT_TRUE(encodeRequest(in, wire));
    std::optional<DeviceRequest> out = decodeRequest(wire.data(), wire.size());
    ASSERT_TRUE(out);
    ASSERT_EQ(out->templ.size(), 1u);
    EXPECT_EQ(out->templ[0].form, DeviceAttribute::Form::TypeOnly);
}

TEST(Codec, TemplatesBeyondTheLimitAreRefused) {
    DeviceRequest in;
    in.functionId = id(F::CreateObject);
    in.templ.assign(kMaxTemplateAttributes + 1, DeviceAttribute::ofBool(0x1, true));
    Bytes wire;
    ASSERT_TRUE(encodeRequest(in, wire));
    EXPECT_FALSE(decodeRequest(wire.data(), wire.size()));
    in.templ.pop_back();
    ASSERT_TRUE(encodeRequest(in, wire));
    EXPECT_TRUE(decodeRequest(wire.data(), wire.size()));
}

TEST(Codec, EveryTruncationOfARequestIsRefusedOrShorter) {
    Bytes wire;
    ASSERT_TRUE(encodeRequest(fullRequest(), wire));
    // Cutting the message anywhere must never crash; most cuts fail.
    size_t refused = 0;
    for (size_t n = 0; n < wire.size(); ++n) {
        refused += decodeRequest(wire.data(), n) ? 0 : 1;
    }
    EXPECT_GT(refused, wire.size() / 2);
}

TEST(Codec, ResponseRoundTrip) {
    DeviceResponse in;
    in.rv = 0x150;
    in.handle = 4;
    in.data = Bytes(300, 0x77);
    in.length = 300;
    in.handle2 = 5;
    in.attributes = {DeviceAttribute::ofUlong(0x100, 0x1F),
                     DeviceAttribute::ofLength(0x11, 0xFFFFFFFF)};
    ::SessionInfo info = SessionInfo_init_zero;
    info.state = 3;
    info.flags = 6;
    in.sessionInfo = info;
    Bytes wire;
    ASSERT_TRUE(encodeResponse(in, wire));
    std::optional<DeviceResponse> out = decodeResponse(wire.data(), wire.size());
    ASSERT_TRUE(out);
    EXPECT_EQ(out->rv, 0x150u);
    EXPECT_EQ(out->handle, 4u);
    EXPECT_EQ(out->data, in.data);
    EXPECT_EQ(out->length, 300u);
    EXPECT_EQ(out->handle2, 5u);
    expectSameAttributes(out->attributes, in.attributes);
    ASSERT_TRUE(out->sessionInfo);
    EXPECT_EQ(out->sessionInfo->state, 3u);
    EXPECT_FALSE(out->tokenInfo);
}

TEST(Codec, EncodingRespectsItsLimit) {
    DeviceResponse big;
    big.data = Bytes(8000, 1);
    Bytes wire;
    EXPECT_FALSE(encodeResponse(big, wire, 7609));
    EXPECT_TRUE(encodeResponse(big, wire, 9000));
}

}  // namespace
}  // namespace vexa::sim
