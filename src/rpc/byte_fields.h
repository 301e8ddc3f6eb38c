// The routines bound to the byte-string fields of a request or response.
// Every bytes field without a bound in the schema is produced and consumed
// here: an input field sends exactly the caller's bytes, an output field
// copies the reply's bytes into the caller's buffer and refuses more than
// fits. Nothing is copied beyond encoding and decoding.
#pragma once

#include <pb.h>

#include <cstddef>
#include <cstdint>

namespace vexa::rpc {

// Binds an encode (or decode) routine and its argument, which the caller
// keeps alive until the message is encoded (decoded), to a callback field.
// Every callback field of the module and of the virtual device is bound
// through these.
// An encode routine only reads its argument; nanopb's slot for it is not
// const.
inline void bindEncoder(pb_callback_t& field,
                        bool (*encode)(pb_ostream_t*, const pb_field_t*, void* const*),
                        const void* arg) {
    field.funcs.encode = encode;
    field.arg = const_cast<void*>(arg);
}
inline void bindDecoder(pb_callback_t& field,
                        bool (*decode)(pb_istream_t*, const pb_field_t*, void**), void* arg) {
    field.funcs.decode = decode;
    field.arg = arg;
}

// Bytes to send. They must stay valid until the request is encoded.
struct ByteInput {
    const void* data = nullptr;
    size_t length = 0;
};

// Binds an input (kept alive by the caller: no temporaries) to a callback
// field: the field is present and carries
// exactly input.length bytes (an empty byte string when the length is 0).
// A field that is never bound is absent from the request.
void bindInput(pb_callback_t& field, ByteInput& input);

// Where the bytes of a reply field go.
struct ByteOutput {
    void* buffer = nullptr;  // may be null when capacity is 0
    size_t capacity = 0;
    size_t received = 0;   // bytes taken from the reply
    bool present = false;  // the reply carried the field
};

// Binds an output to a callback field of a response. A reply whose byte
// string is longer than the capacity makes the whole decoding fail
// ("callback failed"): the caller's buffer is never overrun.
void bindOutput(pb_callback_t& field, ByteOutput& output);

}  // namespace vexa::rpc
