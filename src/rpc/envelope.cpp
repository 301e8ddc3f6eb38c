#include "rpc/envelope.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <array>
#include <cstring>

#include "rpc/ulong_wire.h"

namespace vexa::rpc {
namespace {

// The encoder's text for a request that does not fit into the buffer.
constexpr const char* kStreamFull = "stream full";

}  // namespace

CK_RV callFunction(talvoranth::ILogTarget& log, IExchanger& exchanger, int32_t slot,
                   const Request& request, Response& response, bool clear) {
    // The buffer lives on the stack: one call, no heap allocation.
    std::array<uint8_t, kExchangeBufferSize> buffer;

    // 1. Encode.
    pb_ostream_t out = pb_ostream_from_buffer(buffer.data(), buffer.size());
    if (!pb_encode(&out, Request_fields, &request)) {
        if (out.errmsg != nullptr) {
            log.log(talvoranth::LOG_ERROR, "%s", out.errmsg);
            response.rv = std::strcmp(out.errmsg, kStreamFull) == 0 ? CKR_DATA_LEN_RANGE
                                                                    : CKR_FUNCTION_FAILED;
        } else {
            log.log(talvoranth::LOG_ERROR, "function encoding failed");
            response.rv = CKR_FUNCTION_FAILED;
        }
        return ulongFromWire(response.rv);
    }

    // 2. Exchange.
    const size_t received =
        exchanger.exchange(slot, buffer.data(), buffer.size(), out.bytes_written);
    if (received == 0) {
        log.log(talvoranth::LOG_ERROR, "no response from transport.");
        response.rv = CKR_FUNCTION_FAILED;
        return ulongFromWire(response.rv);
    }

    // 3. Decode. nanopb resets every static field first and keeps the
    // callback bindings, so only bound routines see the caller's buffers.
    if (clear) {
        response = Response_init_zero;
    }
    pb_istream_t in =
        pb_istream_from_buffer(buffer.data(), received < buffer.size() ? received : buffer.size());
    if (!pb_decode(&in, Response_fields, &response)) {
        log.log(talvoranth::LOG_ERROR, "%s",
                in.errmsg != nullptr ? in.errmsg : "function decoding failed");
        response.rv = CKR_FUNCTION_FAILED;
    }
    return ulongFromWire(response.rv);
}

}  // namespace vexa::rpc
