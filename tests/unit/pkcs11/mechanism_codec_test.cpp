// The Mechanism message of a request, as the device decodes it: the
// generic, OAEP, ECDH and bare forms, and the parameter blocks refused
// before anything is sent.
#include <gtest/gtest.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pkcs11/mechanism_codec.h"
#include "support/function_id.h"
#include "support/log_capture.h"
#include "unit/wide_ulong.h"

namespace vexa::test {
namespace {

using F = FunctionId;
using pkcs11::encodeBareMechanism;
using pkcs11::encodeGenericMechanism;
using pkcs11::encodeMechanism;
using pkcs11::MechanismScratch;
using Bytes = std::vector<uint8_t>;

bool capture(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* out = static_cast<std::optional<Bytes>*>(*arg);
    out->emplace(stream->bytes_left);
    return pb_read(stream, out->value().data(), stream->bytes_left);
}

// The request as it leaves the module and as a device reads it back.
struct Wire {
    Mechanism mechanism = Mechanism_init_zero;
    std::optional<Bytes> parameter, sourceData, publicData, sharedData;
};

Wire roundTrip(const Request& request) {
    uint8_t buffer[2048];
    pb_ostream_t out = pb_ostream_from_buffer(buffer, sizeof buffer);
    EXPECT_TRUE(pb_encode(&out, Request_fields, &request)) << PB_GET_ERROR(&out);
    Wire wire;
    Request decoded = Request_init_zero;
    const auto bind = [](pb_callback_t& field, std::optional<Bytes>& into) {
        field.funcs.decode = &capture;
        field.arg = &into;
    };
    bind(decoded.mechanism.parameter, wire.parameter);
    bind(decoded.mechanism.oaep.source_data, wire.sourceData);
    bind(decoded.mechanism.ecdh.public_data, wire.publicData);
    bind(decoded.mechanism.ecdh.shared_data, wire.sharedData);
    pb_istream_t in = pb_istream_from_buffer(buffer, out.bytes_written);
    EXPECT_TRUE(pb_decode(&in, Request_fields, &decoded)) << PB_GET_ERROR(&in);
    EXPECT_TRUE(decoded.has_mechanism);
    wire.mechanism = decoded.mechanism;
    return wire;
}

class MechanismCodec : public ::testing::Test {
protected:
    CK_RV encode(CK_MECHANISM_TYPE type, void* parameter, CK_ULONG length) {
        mechanism_ = CK_MECHANISM{type, parameter, length};
        request_ = Request_init_zero;
        request_.function_id = id(F::EncryptInit);
        return encodeMechanism(log_, request_, mechanism_, scratch_);
    }

    CLogCapture log_;
    CK_MECHANISM mechanism_{};
    MechanismScratch scratch_;
    Request request_ = Request_init_zero;
};

TEST_F(MechanismCodec, GenericFormCarriesTheParameterBytesAndTheirLength) {
    CK_BYTE iv[16];
    for (int i = 0; i < 16; ++i) {
        iv[i] = static_cast<CK_BYTE>(i * 7);
    }
    ASSERT_EQ(encode(CKM_AES_CBC_PAD, iv, sizeof iv), CKR_OK);
    const Wire wire = roundTrip(request_);
    EXPECT_EQ(wire.mechanism.type, CKM_AES_CBC_PAD);
    EXPECT_TRUE(wire.mechanism.has_parameter_length);
    EXPECT_EQ(wire.mechanism.parameter_length, 16u);
    EXPECT_EQ(wire.parameter, Bytes(iv, iv + 16));
    EXPECT_FALSE(wire.mechanism.has_oaep);
    EXPECT_FALSE(wire.mechanism.has_ecdh);
    ASSERT_EQ(log_.lines().size(), 1u);
    EXPECT_EQ(log_.lines()[0],
              std::make_pair(int{talvoranth::LOG_DEBUG}, std::string("Mechanism: 0x00001085")));

    // Without a parameter: a present zero length and an empty byte string.
    ASSERT_EQ(encode(CKM_SHA256_RSA_PKCS, nullptr, 0), CKR_OK);
    const Wire bare = roundTrip(request_);
    EXPECT_TRUE(bare.mechanism.has_parameter_length);
    EXPECT_EQ(bare.mechanism.parameter_length, 0u);
    EXPECT_EQ(bare.parameter, Bytes{});
}

TEST_F(MechanismCodec, OaepParametersTravelFieldByField) {
    CK_BYTE label[] = {'l', 'a', 'b', 'e', 'l'};
    CK_RSA_PKCS_OAEP_PARAMS params{CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, nullptr, 0};
    ASSERT_EQ(encode(CKM_RSA_PKCS_OAEP, &params, sizeof params), CKR_OK);
    Wire wire = roundTrip(request_);
    ASSERT_TRUE(wire.mechanism.has_oaep);
    EXPECT_EQ(wire.mechanism.oaep.hash_alg, CKM_SHA256);
    EXPECT_EQ(wire.mechanism.oaep.mgf, CKG_MGF1_SHA256);
    EXPECT_TRUE(wire.mechanism.oaep.has_source);
    EXPECT_EQ(wire.mechanism.oaep.source, CKZ_DATA_SPECIFIED);
    EXPECT_FALSE(wire.mechanism.oaep.has_source_data_length);
    EXPECT_FALSE(wire.sourceData.has_value());
    EXPECT_FALSE(wire.mechanism.has_parameter_length);
    EXPECT_FALSE(wire.parameter.has_value());

    params.pSourceData = label;
    params.ulSourceDataLen = sizeof label;
    ASSERT_EQ(encode(CKM_RSA_PKCS_OAEP, &params, sizeof params), CKR_OK);
    wire = roundTrip(request_);
    EXPECT_TRUE(wire.mechanism.oaep.has_source_data_length);
    EXPECT_EQ(wire.mechanism.oaep.source_data_length, 5u);
    EXPECT_EQ(wire.sourceData, Bytes(label, label + 5));
}

TEST_F(MechanismCodec, EcdhSendsKdfAndPublicDataButNeverTheSharedData) {
    CK_BYTE shared[] = {9, 9, 9};
    CK_BYTE point[65] = {0x04, 1, 2, 3};
    CK_ECDH1_DERIVE_PARAMS params{CKD_NULL, sizeof shared, shared, sizeof point, point};
    ASSERT_EQ(encode(CKM_ECDH1_DERIVE, &params, sizeof params), CKR_OK);
    Wire wire = roundTrip(request_);
    ASSERT_TRUE(wire.mechanism.has_ecdh);
    EXPECT_EQ(wire.mechanism.ecdh.kdf, CKD_NULL);
    EXPECT_EQ(wire.publicData, Bytes(point, point + sizeof point));
    EXPECT_FALSE(wire.sharedData.has_value());
    EXPECT_FALSE(wire.mechanism.has_parameter_length);
    EXPECT_FALSE(wire.parameter.has_value());
    EXPECT_EQ(log_.lines().back().second, "Mechanism: 0x00001050");

    params.pPublicData = nullptr;
    ASSERT_EQ(encode(CKM_ECDH1_DERIVE, &params, sizeof params), CKR_OK);
    EXPECT_FALSE(roundTrip(request_).publicData.has_value());
}

TEST_F(MechanismCodec, BareFormHasNoParameterLength) {
    CK_BYTE parameter[] = {1, 2, 3};
    const CK_MECHANISM mechanism{CKM_SHA256, parameter, sizeof parameter};
    Request request = Request_init_zero;
    ASSERT_EQ(encodeBareMechanism(request, mechanism, scratch_), CKR_OK);
    const Wire wire = roundTrip(request);
    EXPECT_EQ(wire.mechanism.type, CKM_SHA256);
    EXPECT_FALSE(wire.mechanism.has_parameter_length);
    EXPECT_EQ(wire.parameter, Bytes(parameter, parameter + 3));
}

TEST_F(MechanismCodec, GenericFormCarriesAnOaepBlockInTheDevicesLayout) {
    CK_RSA_PKCS_OAEP_PARAMS params{CKM_SHA_1, CKG_MGF1_SHA1, 0, nullptr, 0};
    const CK_MECHANISM mechanism{CKM_RSA_PKCS_OAEP, &params, sizeof params};
    Request request = Request_init_zero;
    ASSERT_EQ(encodeGenericMechanism(request, mechanism, scratch_), CKR_OK);
    const Wire wire = roundTrip(request);
    EXPECT_FALSE(wire.mechanism.has_oaep);
    // hashAlg, mgf, source, ulSourceDataLen: four little-endian words.
    EXPECT_EQ(wire.mechanism.parameter_length, 16u);
    EXPECT_EQ(wire.parameter, Bytes({0x20, 0x02, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(MechanismCodec, BadParameterBlocksAreRefused) {
    CK_BYTE bytes[8] = {};
    CK_RSA_PKCS_OAEP_PARAMS oaep{CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 0};
    CK_ECDH1_DERIVE_PARAMS ecdh{CKD_NULL, 0, nullptr, 0, bytes};
    struct Case {
        const char* what;
        std::function<void()> setUp;
        CK_MECHANISM_TYPE type;
        void* parameter;
        CK_ULONG length;
    };
    const Case cases[] = {
        // The host's own size is the only one taken.
        {"OAEP block shorter than the host's", [] {}, CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep - 4},
        {"OAEP block longer than the host's", [] {}, CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep + 4},
        {"OAEP without parameters", [] {}, CKM_RSA_PKCS_OAEP, nullptr, 0},
        {"OAEP source pointer without length", [&] { oaep.pSourceData = bytes; }, CKM_RSA_PKCS_OAEP,
         &oaep, sizeof oaep},
        {"OAEP source length without pointer",
         [&] {
             oaep.pSourceData = nullptr;
             oaep.ulSourceDataLen = 4;
         },
         CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep},
        {"ECDH without parameters", [] {}, CKM_ECDH1_DERIVE, nullptr, 0},
        {"ECDH block shorter than the host's", [] {}, CKM_ECDH1_DERIVE, &ecdh, sizeof ecdh - 4},
        {"ECDH public pointer with length 0", [] {}, CKM_ECDH1_DERIVE, &ecdh, sizeof ecdh},
        {"null parameter with a length", [] {}, CKM_AES_CBC, nullptr, 16},
    };
    for (const Case& c : cases) {
        c.setUp();
        log_.clear();
        EXPECT_EQ(encode(c.type, c.parameter, c.length), CKR_ARGUMENTS_BAD) << c.what;
    }
    // Values the wire cannot carry, on hosts whose CK_ULONG has them.
    if (kHostUlongIsWide) {
        oaep = {CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 0};
        oaep.hashAlg = wideUlong(32);
        EXPECT_EQ(encode(CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep), CKR_ARGUMENTS_BAD);
        ecdh = {CKD_NULL, 0, nullptr, sizeof bytes, bytes};
        ecdh.kdf = wideUlong(40);
        EXPECT_EQ(encode(CKM_ECDH1_DERIVE, &ecdh, sizeof ecdh), CKR_ARGUMENTS_BAD);
        EXPECT_EQ(encode(wideUlong(33), nullptr, 0), CKR_ARGUMENTS_BAD);
    }
    oaep = {CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 0};
    // The OAEP refusal comes after the mechanism's log line.
    ASSERT_EQ(encode(CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep + 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(log_.lines().back().second, "Mechanism: 0x00000009");

    // A null parameter with a length is refused by the other forms too.
    const CK_MECHANISM broken{CKM_SHA256, nullptr, 3};
    Request request = Request_init_zero;
    EXPECT_EQ(encodeBareMechanism(request, broken, scratch_), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(encodeGenericMechanism(request, broken, scratch_), CKR_ARGUMENTS_BAD);
}

}  // namespace
}  // namespace vexa::test
