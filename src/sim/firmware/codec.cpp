#include "sim/firmware/codec.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include "rpc/byte_fields.h"

namespace vexa::sim {

namespace {

// ---- decoding -------------------------------------------------------------

// Reads a whole bytes field into the optional vector it is bound to. The
// substream's length is bounded by the enclosing message, so the vector
// never grows beyond the input.
bool readBytes(pb_istream_t* stream, const pb_field_t* /*field*/, void** arg) {
    auto* target = static_cast<std::optional<Bytes>*>(*arg);
    Bytes bytes(stream->bytes_left);
    if (!bytes.empty() && !pb_read(stream, bytes.data(), bytes.size())) {
        return false;
    }
    *target = std::move(bytes);
    return true;
}

void bindRead(pb_callback_t& callback, std::optional<Bytes>& target) {
    rpc::bindDecoder(callback, &readBytes, &target);
}

// One element of a repeated Attribute field.
bool readAttribute(pb_istream_t* stream, const pb_field_t* /*field*/, void** arg) {
    auto* list = static_cast<std::vector<DeviceAttribute>*>(*arg);
    if (list->size() >= kMaxTemplateAttributes) {
        PB_RETURN_ERROR(stream, "too many attributes");
    }
    ::Attribute wire = Attribute_init_zero;
    std::optional<Bytes> value;
    bindRead(wire.value, value);
    if (!pb_decode(stream, Attribute_fields, &wire)) {
        return false;
    }
    DeviceAttribute a;
    a.type = wire.type;
    if (wire.has_ulong_value) {
        a.form = DeviceAttribute::Form::Ulong;
        a.ulongValue = wire.ulong_value;
    } else if (wire.has_bool_value) {
        a.form = DeviceAttribute::Form::Bool;
        a.boolValue = wire.bool_value;
    } else if (wire.has_length || value) {
        a.form = DeviceAttribute::Form::Bytes;
        a.bytes = value ? std::move(*value) : Bytes{};
        a.length = wire.has_length ? wire.length : static_cast<uint32_t>(a.bytes.size());
    }
    list->push_back(std::move(a));
    return true;
}

void bindReadAttributes(pb_callback_t& callback, std::vector<DeviceAttribute>& target) {
    rpc::bindDecoder(callback, &readAttribute, &target);
}

template <class T>
std::optional<T> present(bool has, T value) {
    return has ? std::optional<T>(value) : std::nullopt;
}

// The encoding side of present(): an optional scalar into its has_ flag and
// field.
template <class T, class Field>
void putPresent(const std::optional<T>& value, bool& has, Field& field) {
    has = value.has_value();
    field = value.value_or(T{});
}

// Decodes one whole message; false, with nanopb's error text in *error,
// when it does not parse.
bool decodeMessage(const pb_msgdesc_t* fields, void* message, const uint8_t* data, size_t length,
                   std::string* error) {
    pb_istream_t stream = pb_istream_from_buffer(data, length);
    if (pb_decode(&stream, fields, message)) {
        return true;
    }
    if (error) {
        *error = PB_GET_ERROR(&stream);
    }
    return false;
}

// ---- encoding -------------------------------------------------------------

// Encode callbacks are deterministic: nanopb may call them twice (size
// pass, then write pass).
bool writeBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* source = static_cast<const Bytes*>(*arg);
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, source->data(), source->size());
}

void bindWrite(pb_callback_t& callback, const std::optional<Bytes>& source) {
    if (source) {
        rpc::bindEncoder(callback, &writeBytes, &*source);
    }
}

void bindWrite(pb_callback_t& callback, const Bytes& source) {
    rpc::bindEncoder(callback, &writeBytes, &source);
}

bool writeAttributes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* list = static_cast<const std::vector<DeviceAttribute>*>(*arg);
    for (const DeviceAttribute& a : *list) {
        ::Attribute wire = Attribute_init_zero;
        wire.type = a.type;
        switch (a.form) {
            case DeviceAttribute::Form::TypeOnly:
                break;
            case DeviceAttribute::Form::Ulong:
                wire.has_ulong_value = true;
                wire.ulong_value = a.ulongValue;
                break;
            case DeviceAttribute::Form::Bool:
                wire.has_bool_value = true;
                wire.bool_value = a.boolValue;
                break;
            case DeviceAttribute::Form::Bytes:
                wire.has_length = true;
                wire.length = a.length;
                if (!a.bytes.empty()) {
                    bindWrite(wire.value, a.bytes);
                }
                break;
        }
        if (!pb_encode_tag_for_field(stream, field) ||
            !pb_encode_submessage(stream, Attribute_fields, &wire)) {
            return false;
        }
    }
    return true;
}

void bindWriteAttributes(pb_callback_t& callback, const std::vector<DeviceAttribute>& source) {
    if (!source.empty()) {
        rpc::bindEncoder(callback, &writeAttributes, &source);
    }
}

bool encodeInto(const pb_msgdesc_t* fields, const void* message, Bytes& out, size_t limit) {
    size_t size = 0;
    if (!pb_get_encoded_size(&size, fields, message) || size > limit) {
        return false;
    }
    out.resize(size);
    pb_ostream_t stream = pb_ostream_from_buffer(out.data(), out.size());
    if (!pb_encode(&stream, fields, message)) {
        out.clear();
        return false;
    }
    out.resize(stream.bytes_written);
    return true;
}

}  // namespace

std::optional<DeviceRequest> decodeRequest(const uint8_t* data, size_t length, std::string* error) {
    DeviceRequest out;
    std::optional<Bytes> parameter, sourceData, sharedData, publicData;
    ::Request wire = Request_init_zero;
    bindRead(wire.data, out.data);
    bindRead(wire.data2, out.data2);
    bindReadAttributes(wire.template_, out.templ);
    bindReadAttributes(wire.template2, out.templ2);
    bindRead(wire.mechanism.parameter, parameter);
    bindRead(wire.mechanism.oaep.source_data, sourceData);
    bindRead(wire.mechanism.ecdh.shared_data, sharedData);
    bindRead(wire.mechanism.ecdh.public_data, publicData);

    if (!decodeMessage(Request_fields, &wire, data, length, error)) {
        return std::nullopt;
    }
    out.functionId = wire.function_id;
    out.session = present(wire.has_session, wire.session);
    out.object = present(wire.has_object, wire.object);
    out.lengthOnly = present(wire.has_length_only, wire.length_only);
    out.value = present(wire.has_value, wire.value);
    out.outCapacity = present(wire.has_out_capacity, wire.out_capacity);
    out.object2 = present(wire.has_object2, wire.object2);
    if (wire.has_mechanism) {
        DeviceMechanism m;
        m.type = wire.mechanism.type;
        m.parameterLength =
            present(wire.mechanism.has_parameter_length, wire.mechanism.parameter_length);
        m.parameter = std::move(parameter);
        if (wire.mechanism.has_oaep) {
            const ::OaepParams& o = wire.mechanism.oaep;
            OaepParameters p;
            p.hashAlg = o.hash_alg;
            p.mgf = o.mgf;
            p.source = present(o.has_source, o.source);
            p.sourceDataLength = present(o.has_source_data_length, o.source_data_length);
            p.sourceData = std::move(sourceData);
            m.oaep = std::move(p);
        }
        if (wire.mechanism.has_ecdh) {
            Ecdh1DeriveParameters p;
            p.kdf = wire.mechanism.ecdh.kdf;
            p.sharedData = std::move(sharedData);
            p.publicData = std::move(publicData);
            m.ecdh = std::move(p);
        }
        out.mechanism = std::move(m);
    }
    return out;
}

std::optional<DeviceResponse> decodeResponse(const uint8_t* data, size_t length,
                                             std::string* error) {
    DeviceResponse out;
    ::Response wire = Response_init_zero;
    bindRead(wire.data, out.data);
    bindReadAttributes(wire.attributes, out.attributes);
    if (!decodeMessage(Response_fields, &wire, data, length, error)) {
        return std::nullopt;
    }
    out.rv = wire.rv;
    out.handle = present(wire.has_handle, wire.handle);
    out.length = present(wire.has_length, wire.length);
    out.handle2 = present(wire.has_handle2, wire.handle2);
    if (wire.has_session_info) {
        out.sessionInfo = wire.session_info;
    }
    if (wire.has_token_info) {
        out.tokenInfo = wire.token_info;
    }
    return out;
}

bool encodeRequest(const DeviceRequest& request, Bytes& out, size_t limit) {
    ::Request wire = Request_init_zero;
    wire.function_id = request.functionId;
    putPresent(request.session, wire.has_session, wire.session);
    putPresent(request.object, wire.has_object, wire.object);
    putPresent(request.lengthOnly, wire.has_length_only, wire.length_only);
    putPresent(request.value, wire.has_value, wire.value);
    putPresent(request.outCapacity, wire.has_out_capacity, wire.out_capacity);
    putPresent(request.object2, wire.has_object2, wire.object2);
    bindWrite(wire.data, request.data);
    bindWrite(wire.data2, request.data2);
    bindWriteAttributes(wire.template_, request.templ);
    bindWriteAttributes(wire.template2, request.templ2);
    if (request.mechanism) {
        const DeviceMechanism& m = *request.mechanism;
        wire.has_mechanism = true;
        wire.mechanism.type = m.type;
        putPresent(m.parameterLength, wire.mechanism.has_parameter_length,
                   wire.mechanism.parameter_length);
        bindWrite(wire.mechanism.parameter, m.parameter);
        if (m.oaep) {
            ::OaepParams& o = wire.mechanism.oaep;
            wire.mechanism.has_oaep = true;
            o.hash_alg = m.oaep->hashAlg;
            o.mgf = m.oaep->mgf;
            putPresent(m.oaep->source, o.has_source, o.source);
            putPresent(m.oaep->sourceDataLength, o.has_source_data_length, o.source_data_length);
            bindWrite(o.source_data, m.oaep->sourceData);
        }
        if (m.ecdh) {
            wire.mechanism.has_ecdh = true;
            wire.mechanism.ecdh.kdf = m.ecdh->kdf;
            bindWrite(wire.mechanism.ecdh.shared_data, m.ecdh->sharedData);
            bindWrite(wire.mechanism.ecdh.public_data, m.ecdh->publicData);
        }
    }
    return encodeInto(Request_fields, &wire, out, limit);
}

bool encodeResponse(const DeviceResponse& response, Bytes& out, size_t limit) {
    ::Response wire = Response_init_zero;
    wire.rv = response.rv;
    putPresent(response.handle, wire.has_handle, wire.handle);
    putPresent(response.length, wire.has_length, wire.length);
    putPresent(response.handle2, wire.has_handle2, wire.handle2);
    bindWrite(wire.data, response.data);
    bindWriteAttributes(wire.attributes, response.attributes);
    if (response.sessionInfo) {
        wire.has_session_info = true;
        wire.session_info = *response.sessionInfo;
    }
    if (response.tokenInfo) {
        wire.has_token_info = true;
        wire.token_info = *response.tokenInfo;
    }
    return encodeInto(Response_fields, &wire, out, limit);
}

}  // namespace vexa::sim
