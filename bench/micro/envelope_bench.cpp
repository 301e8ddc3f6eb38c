// The remote-call envelope with the module's own field routines: encoding of
// a request, decoding of its reply, and both through callFunction with an
// exchange that only copies the device's fixed reply into the buffer.
//
//   C_Sign              256 bytes in, a 256-byte signature back
//   C_GetAttributeValue ten attribute types in, ten values back
//   C_FindObjects       a maximum count in, 100 handles back
#include <benchmark/benchmark.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/proto_writer.h"
#include "micro/null_log.h"
#include "pkcs11/template_codec.h"
#include "rpc/byte_fields.h"
#include "rpc/envelope.h"
#include "rpc/function_ids.h"
#include "vexa.pb.h"

namespace vexa::bench {
namespace {

using rpc::FunctionId;

// Hands back a fixed reply: the exchange costs one copy.
class CCannedExchanger : public rpc::IExchanger {
public:
    explicit CCannedExchanger(Bytes reply) : reply_(std::move(reply)) {}
    size_t exchange(int32_t, uint8_t* buffer, size_t capacity, size_t) override {
        const size_t n = reply_.size() < capacity ? reply_.size() : capacity;
        std::memcpy(buffer, reply_.data(), n);
        return n;
    }
    const Bytes& reply() const { return reply_; }

private:
    Bytes reply_;
};

// One message pair: how the module fills the request and binds the reply's
// outputs, the device's reply, and whether the response is cleared first.
struct Case {
    const char* name;
    Bytes reply;
    // Prepares request and response for one call; the state the bindings
    // point to lives in the closure's captures.
    std::function<void(Request&, Response&)> bind;
    bool clear;
};

std::vector<Case> cases() {
    std::vector<Case> all;

    // C_Sign: 256 bytes of data, an RSA-2048 signature into the caller's buffer.
    {
        auto data = std::make_shared<std::array<uint8_t, 256>>();
        auto input = std::make_shared<rpc::ByteInput>();
        auto signature = std::make_shared<std::array<uint8_t, 256>>();
        auto output = std::make_shared<rpc::ByteOutput>();
        all.push_back({"Sign256", reply::data(256, true),
                       [=](Request& request, Response& response) {
                           request.function_id = static_cast<uint32_t>(FunctionId::Sign);
                           request.has_session = true;
                           request.session = 0x10001;
                           *input = {data->data(), data->size()};
                           rpc::bindInput(request.data, *input);
                           request.has_out_capacity = true;
                           request.out_capacity = signature->size();
                           *output = {signature->data(), signature->size(), 0, false};
                           rpc::bindOutput(response.data, *output);
                       },
                       false});
    }
    // C_GetAttributeValue: ten types out, ten values back into their own buffers.
    {
        auto attributes = std::make_shared<std::vector<CK_ATTRIBUTE>>();
        for (CK_ATTRIBUTE_TYPE type : reply::attributeTypes()) {
            attributes->push_back({type, nullptr, 0});
        }
        auto ref = std::make_shared<pkcs11::TemplateRef>();
        auto list = std::make_shared<std::optional<pkcs11::AttributeList>>();
        all.push_back({"GetAttributeValue10", reply::attributes(),
                       [=](Request& request, Response& response) {
                           request.function_id =
                               static_cast<uint32_t>(FunctionId::GetAttributeValue);
                           request.has_session = true;
                           request.session = 0x10001;
                           request.has_object = true;
                           request.object = 0x1001;
                           *ref = {attributes->data(), attributes->size()};
                           pkcs11::bindTypes(request.template_, *ref);
                           list->emplace();
                           pkcs11::bindAttributes(response.attributes, **list);
                       },
                       false});
    }
    // C_FindObjects: up to 100 handles into a buffer of their own.
    {
        auto handles = std::make_shared<pkcs11::AllocatedBytes>();
        all.push_back({"FindObjects100", reply::handles(100),
                       [=](Request& request, Response& response) {
                           request.function_id = static_cast<uint32_t>(FunctionId::FindObjects);
                           request.has_session = true;
                           request.session = 0x10001;
                           request.has_out_capacity = true;
                           request.out_capacity = 100;
                           *handles = {};
                           pkcs11::bindAllocated(response.data, *handles);
                       },
                       false});
    }
    return all;
}

void encodeOnly(benchmark::State& state, const Case& c) {
    std::array<uint8_t, rpc::kExchangeBufferSize> buffer;
    for (auto _ : state) {
        Request request = Request_init_zero;
        Response response = Response_init_zero;
        c.bind(request, response);
        pb_ostream_t out = pb_ostream_from_buffer(buffer.data(), buffer.size());
        if (!pb_encode(&out, Request_fields, &request)) {
            state.SkipWithError("encoding failed");
            break;
        }
        benchmark::DoNotOptimize(out.bytes_written);
    }
}

void decodeOnly(benchmark::State& state, const Case& c) {
    for (auto _ : state) {
        Request request = Request_init_zero;
        Response response = Response_init_zero;
        c.bind(request, response);
        pb_istream_t in = pb_istream_from_buffer(c.reply.data(), c.reply.size());
        if (!pb_decode(&in, Response_fields, &response)) {
            state.SkipWithError("decoding failed");
            break;
        }
        benchmark::DoNotOptimize(response.rv);
    }
}

void roundTrip(benchmark::State& state, const Case& c) {
    CNullLog log;
    CCannedExchanger exchanger(c.reply);
    for (auto _ : state) {
        Request request = Request_init_zero;
        Response response = Response_init_zero;
        c.bind(request, response);
        if (rpc::callFunction(log, exchanger, 0, request, response, c.clear) != CKR_OK) {
            state.SkipWithError("callFunction failed");
            break;
        }
    }
}

// Registered from the table: three benchmarks per message pair.
const bool registered = [] {
    static const std::vector<Case> table = cases();
    for (const Case& c : table) {
        const std::string name = c.name;
        benchmark::RegisterBenchmark(("Envelope/Encode/" + name).c_str(), encodeOnly, c);
        benchmark::RegisterBenchmark(("Envelope/Decode/" + name).c_str(), decodeOnly, c);
        benchmark::RegisterBenchmark(("Envelope/EncodeExchangeDecode/" + name).c_str(), roundTrip,
                                     c);
    }
    return true;
}();

}  // namespace
}  // namespace vexa::bench
