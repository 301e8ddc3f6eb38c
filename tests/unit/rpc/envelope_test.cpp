// The remote-call envelope over an in-memory device: its failure table,
// what it leaves in the response on each path, the byte-field routines and
// the CK_ULONG mapping.
#include <gtest/gtest.h>
#include <pb_encode.h>

#include <cstring>
#include <vector>

#include "rpc/byte_fields.h"
#include "rpc/envelope.h"
#include "rpc/function_ids.h"
#include "rpc/ulong_wire.h"
#include "support/log_capture.h"
#include "unit/rpc/memory_device.h"
#include "unit/wide_ulong.h"

namespace {

using talvoranth::LOG_ERROR;
using vexa::rpc::ByteInput;
using vexa::rpc::ByteOutput;
using vexa::rpc::IExchanger;
using vexa::test::CLogCapture;
using vexa::test::CMemoryDevice;
using vexa::test::CMemoryTransport;
using vexa::test::Reply;

// The envelope's exchanger over one memory transport; counts its calls.
class CDirectExchanger : public IExchanger {
public:
    explicit CDirectExchanger(std::shared_ptr<CMemoryDevice> device) : transport_(device) {}
    size_t exchange(int32_t, uint8_t* buffer, size_t capacity, size_t length) override {
        ++calls;
        transport_.write(buffer, static_cast<int>(length));
        const int n = transport_.read(buffer, static_cast<int>(capacity));
        return n > 0 ? static_cast<size_t>(n) : 0;
    }
    int calls = 0;

private:
    CMemoryTransport transport_;
};

bool refuseToEncode(pb_ostream_t*, const pb_field_t*, void* const*) {
    return false;
}

Request tokenInfoRequest() {
    Request request = Request_init_zero;
    request.function_id = static_cast<uint32_t>(vexa::rpc::FunctionId::GetTokenInfo);
    return request;
}

// A valid reply's bytes with some damage done to them.
std::vector<uint8_t> replyBytes(CK_RV rv, std::vector<uint8_t> data) {
    Response response = Response_init_zero;
    response.rv = static_cast<uint32_t>(rv);
    return vexa::test::encodeResponse(response, data);
}

struct FailureCase {
    const char* name;
    size_t requestBytes;    // bytes bound to Request.data (0: none)
    bool refusingEncoder;   // Request.data bound to a routine that fails
    Reply reply;            // what the device does
    size_t outputCapacity;  // capacity bound to Response.data
    CK_RV expectedRv;
    const char* expectedLog;  // at ERROR
    bool reachesDevice;
};

Reply missingRv() {
    // Field 2 (handle) alone: the required rv is absent.
    return Reply::rawBytes({0x10, 0x05});
}

Reply truncated() {
    std::vector<uint8_t> bytes = replyBytes(CKR_OK, std::vector<uint8_t>(10, 0xAB));
    bytes.resize(bytes.size() - 3);
    return Reply::rawBytes(bytes);
}

Reply tokenInfoWithoutTime() {
    Reply reply = Reply::withRv(CKR_OK);
    reply.response.has_token_info = true;
    // Every TokenInfo field is required; encoding the struct always writes
    // them all, so build the bytes with utc_time cut off instead.
    std::vector<uint8_t> bytes = vexa::test::encodeResponse(reply.response, std::nullopt);
    // The last field written is token_info (tag 8) whose last member is
    // utc_time (tag 20, two-byte key 0xA2 0x01, length 0).
    EXPECT_GE(bytes.size(), 3u);
    EXPECT_EQ(bytes[bytes.size() - 3], 0xA2);
    bytes.resize(bytes.size() - 3);
    // Fix the length of the token_info submessage (one-byte length after 0x42).
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == 0x42) {
            bytes[i + 1] = static_cast<uint8_t>(bytes[i + 1] - 3);
            break;
        }
    }
    return Reply::rawBytes(bytes);
}

Reply withData(size_t size) {
    Reply reply = Reply::withRv(CKR_OK);
    reply.data = std::vector<uint8_t>(size, 0x5A);
    return reply;
}

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class EnvelopeFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(EnvelopeFailures, MapToTheirCodeAndLogLine) {
    const FailureCase& c = GetParam();
    auto device = std::make_shared<CMemoryDevice>();
    device->setResponder([&](const vexa::test::SeenRequest&) { return c.reply; });
    CDirectExchanger exchanger(device);
    CLogCapture log;

    Request request = tokenInfoRequest();
    std::vector<uint8_t> payload(c.requestBytes, 0x11);
    ByteInput input{payload.data(), payload.size()};
    if (c.requestBytes > 0) {
        vexa::rpc::bindInput(request.data, input);
    }
    if (c.refusingEncoder) {
        request.data.funcs.encode = &refuseToEncode;
    }
    Response response = Response_init_zero;
    std::vector<uint8_t> out(c.outputCapacity);
    ByteOutput output{out.data(), out.size()};
    vexa::rpc::bindOutput(response.data, output);

    const CK_RV rv = vexa::rpc::callFunction(log, exchanger, 0, request, response, false);

    EXPECT_EQ(rv, c.expectedRv);
    EXPECT_EQ(response.rv, c.expectedRv);
    EXPECT_TRUE(log.has(LOG_ERROR, c.expectedLog)) << "missing ERROR line: " << c.expectedLog;
    EXPECT_EQ(exchanger.calls, c.reachesDevice ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EnvelopeFailures,
    ::testing::Values(FailureCase{"RequestOverTheBuffer", 2100, false, Reply::withRv(CKR_OK), 0,
                                  CKR_DATA_LEN_RANGE, "stream full", false},
                      FailureCase{"EncoderRoutineRefuses", 0, true, Reply::withRv(CKR_OK), 0,
                                  CKR_FUNCTION_FAILED, "callback error", false},
                      FailureCase{"NoReply", 0, false, Reply::noReply(), 0, CKR_FUNCTION_FAILED,
                                  "no response from transport.", true},
                      FailureCase{"ReplyWithoutRv", 0, false, missingRv(), 0, CKR_FUNCTION_FAILED,
                                  "missing required field", true},
                      FailureCase{"TruncatedReply", 0, false, truncated(), 16, CKR_FUNCTION_FAILED,
                                  "parent stream too short", true},
                      FailureCase{"OutputLongerThanBuffer", 0, false, withData(17), 16,
                                  CKR_FUNCTION_FAILED, "callback failed", true},
                      FailureCase{"TokenInfoWithoutUtcTime", 0, false, tokenInfoWithoutTime(), 0,
                                  CKR_FUNCTION_FAILED, "missing required field", true}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(Envelope, RequestOfExactlyTheBufferIsSentAndOneByteMoreIsNot) {
    auto device = std::make_shared<CMemoryDevice>();
    CDirectExchanger exchanger(device);
    CLogCapture log;
    // function_id (2 bytes) + data key (1) + length varint (2) + payload.
    for (const size_t payloadSize : {size_t{2043}, size_t{2044}}) {
        Request request = tokenInfoRequest();
        std::vector<uint8_t> payload(payloadSize, 0x22);
        ByteInput input{payload.data(), payload.size()};
        vexa::rpc::bindInput(request.data, input);
        Response response = Response_init_zero;
        const CK_RV rv = vexa::rpc::callFunction(log, exchanger, 0, request, response, true);
        EXPECT_EQ(rv, payloadSize == 2043 ? CKR_OK : CKR_DATA_LEN_RANGE) << payloadSize;
    }
    ASSERT_EQ(device->requests().size(), 1u);
    EXPECT_EQ(device->requests()[0].encodedSize, vexa::rpc::kExchangeBufferSize);
}

TEST(Envelope, PassesTheDeviceCodeThroughUnchanged) {
    for (const CK_RV deviceRv : {CKR_OK, CKR_PIN_INCORRECT, CKR_VENDOR_DEFINED + 1}) {
        auto device = std::make_shared<CMemoryDevice>();
        device->setResponder(
            [&](const vexa::test::SeenRequest&) { return Reply::withRv(deviceRv); });
        CDirectExchanger exchanger(device);
        CLogCapture log;
        Response response = Response_init_zero;
        EXPECT_EQ(vexa::rpc::callFunction(log, exchanger, 0, tokenInfoRequest(), response, true),
                  deviceRv);
        EXPECT_TRUE(log.lines().empty());
    }
}

TEST(Envelope, FailureBeforeDecodingWritesOnlyRv) {
    auto device = std::make_shared<CMemoryDevice>();
    device->setResponder([](const vexa::test::SeenRequest&) { return Reply::noReply(); });
    CDirectExchanger exchanger(device);
    CLogCapture log;
    Response response = Response_init_zero;
    response.has_handle = true;
    response.handle = 77;
    vexa::rpc::callFunction(log, exchanger, 0, tokenInfoRequest(), response, true);
    EXPECT_EQ(response.rv, CKR_FUNCTION_FAILED);
    EXPECT_TRUE(response.has_handle);
    EXPECT_EQ(response.handle, 77u);
}

TEST(Envelope, ClearFlagDropsBindingsAndStaleFieldsWhileFalseKeepsBindings) {
    for (const bool clear : {true, false}) {
        auto device = std::make_shared<CMemoryDevice>();
        device->setResponder([](const vexa::test::SeenRequest&) { return withData(4); });
        CDirectExchanger exchanger(device);
        CLogCapture log;
        Response response = Response_init_zero;
        response.has_handle = true;  // stale: the reply carries no handle
        std::vector<uint8_t> out(8, 0);
        ByteOutput output{out.data(), out.size()};
        vexa::rpc::bindOutput(response.data, output);
        EXPECT_EQ(vexa::rpc::callFunction(log, exchanger, 0, tokenInfoRequest(), response, clear),
                  CKR_OK);
        EXPECT_FALSE(response.has_handle);
        EXPECT_EQ(output.present, !clear);
        EXPECT_EQ(output.received, clear ? 0u : 4u);
        EXPECT_EQ(out[0], clear ? 0 : 0x5A);
    }
}

TEST(Envelope, ReplyCarryingAuxDecodes) {
    auto device = std::make_shared<CMemoryDevice>();
    device->setResponder([](const vexa::test::SeenRequest&) {
        Reply reply = Reply::withRv(CKR_OK);
        reply.response.has_aux = true;
        reply.response.aux.has_a = true;
        reply.response.aux.a = 9;
        return reply;
    });
    CDirectExchanger exchanger(device);
    CLogCapture log;
    Response response = Response_init_zero;
    EXPECT_EQ(vexa::rpc::callFunction(log, exchanger, 0, tokenInfoRequest(), response, true),
              CKR_OK);
}

TEST(ByteFields, SendExactlyTheBoundBytesAnEmptyStringOrNothing) {
    auto device = std::make_shared<CMemoryDevice>();
    CDirectExchanger exchanger(device);
    CLogCapture log;
    const uint8_t pin[] = {'1', '2', 0, '4'};
    Request request = tokenInfoRequest();
    ByteInput data{pin, sizeof pin};
    ByteInput empty{nullptr, 0};
    vexa::rpc::bindInput(request.data, data);
    vexa::rpc::bindInput(request.data2, empty);
    Response response = Response_init_zero;
    vexa::rpc::callFunction(log, exchanger, 0, request, response, true);
    vexa::rpc::callFunction(log, exchanger, 0, tokenInfoRequest(), response, true);

    const auto seen = device->requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].data, (std::vector<uint8_t>{'1', '2', 0, '4'}));
    ASSERT_TRUE(seen[0].data2.has_value());
    EXPECT_TRUE(seen[0].data2->empty());
    EXPECT_FALSE(seen[1].data.has_value());
    EXPECT_FALSE(seen[1].data2.has_value());
}

TEST(UlongWire, CarriesThirtyTwoBitsAndUnavailableInformationOnly) {
    struct Case {
        CK_ULONG host;
        bool carried;
        uint32_t wire;
    };
    const Case cases[] = {
        {0, true, 0},
        {0xFFFFFFFEul, true, 0xFFFFFFFEu},
        {0xFFFFFFFFul, true, 0xFFFFFFFFu},
        {CK_UNAVAILABLE_INFORMATION, true, 0xFFFFFFFFu},
        // Values beyond 32 bits, on hosts that have them.
        {vexa::test::wideUlong(32), !vexa::test::kHostUlongIsWide, 0},
        {CK_UNAVAILABLE_INFORMATION - 1, !vexa::test::kHostUlongIsWide, 0xFFFFFFFEu},
    };
    for (const Case& c : cases) {
        uint32_t wire = 0;
        EXPECT_EQ(vexa::rpc::ulongToWire(c.host, wire), c.carried) << std::hex << c.host;
        if (c.carried) {
            EXPECT_EQ(wire, c.wire) << std::hex << c.host;
        }
    }
    EXPECT_EQ(vexa::rpc::lengthFromWire(0xFFFFFFFFu), CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(vexa::rpc::lengthFromWire(0xFFFFFFFEu), CK_ULONG{0xFFFFFFFEu});
    EXPECT_EQ(vexa::rpc::ulongFromWire(0xFFFFFFFFu), CK_ULONG{0xFFFFFFFFu});
}

}  // namespace
