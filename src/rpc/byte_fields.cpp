#include "rpc/byte_fields.h"

#include <pb_decode.h>
#include <pb_encode.h>

namespace vexa::rpc {
namespace {

// Deterministic: nanopb may run an encoder twice (size pass, write pass).
bool encodeInput(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* input = static_cast<const ByteInput*>(*arg);
    static const pb_byte_t kEmpty = 0;
    const auto* bytes = input->length == 0 ? &kEmpty : static_cast<const pb_byte_t*>(input->data);
    return pb_encode_tag_for_field(stream, field) && pb_encode_string(stream, bytes, input->length);
}

// The stream given here is limited to the field's own bytes, so bytes_left
// is the length the reply claims; it is checked before anything is read.
bool decodeOutput(pb_istream_t* stream, const pb_field_t* /*field*/, void** arg) {
    auto* output = static_cast<ByteOutput*>(*arg);
    const size_t length = stream->bytes_left;
    if (length > output->capacity) {
        return false;
    }
    if (length > 0 && !pb_read(stream, static_cast<pb_byte_t*>(output->buffer), length)) {
        return false;
    }
    output->received = length;
    output->present = true;
    return true;
}

}  // namespace

void bindInput(pb_callback_t& field, ByteInput& input) {
    bindEncoder(field, &encodeInput, &input);
}

void bindOutput(pb_callback_t& field, ByteOutput& output) {
    bindDecoder(field, &decodeOutput, &output);
}

}  // namespace vexa::rpc
