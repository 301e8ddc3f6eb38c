// The remote-call envelope: one PKCS#11 request becomes one request/response
// exchange with the device of a slot. The request is encoded into one
// 2048-byte buffer, exchanged, and the reply decoded from the same buffer.
// Nothing here depends on which PKCS#11 function is served: that travels in
// Request.function_id.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>

#include "log/log_target.h"
#include "vexa.pb.h"

namespace vexa::rpc {

// Size of the exchange buffer: the encoder's limit for a whole request and
// the capacity given to the transport's read.
constexpr size_t kExchangeBufferSize = 2048;

// The envelope's one way to a device: send the first `length` bytes of
// buffer to the transport of `slot` and read the reply into buffer, at most
// `capacity` bytes. Returns the number of bytes received; 0 is a failure
// that the exchanger has already logged.
class IExchanger {
public:
    virtual ~IExchanger() = default;
    virtual size_t exchange(int32_t slot, uint8_t* buffer, size_t capacity, size_t length) = 0;
};

// Encodes `request`, exchanges it with the device of `slot` and decodes the
// reply into `response`. Returns response.rv, which carries the device's
// code or the envelope's own failure:
//   request longer than the buffer ("stream full")   CKR_DATA_LEN_RANGE
//   any other encoding failure                        CKR_FUNCTION_FAILED
//   no reply ("no response from transport.")          CKR_FUNCTION_FAILED
//   reply that does not decode                        CKR_FUNCTION_FAILED
// With `clear` the whole response, callback bindings included, is zeroed
// before decoding; pass false when the caller bound output routines. When
// encoding or the exchange fails only response.rv is written.
CK_RV callFunction(talvoranth::ILogTarget& log, IExchanger& exchanger, int32_t slot,
                   const Request& request, Response& response, bool clear);

}  // namespace vexa::rpc
