#include "pkcs11/template_codec.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

#include "common/byte_order.h"
#include "rpc/attribute_types.h"
#include "rpc/ulong_wire.h"
#include "vexa.pb.h"

namespace vexa::pkcs11 {
namespace {

using common::putLe32;
using common::readLe32;

// Boolean types: single types and contiguous runs, first to last.
struct TypeRun {
    CK_ATTRIBUTE_TYPE first;
    CK_ATTRIBUTE_TYPE last;
};
constexpr TypeRun kBooleanTypes[] = {
    {CKA_TOKEN, CKA_PRIVATE},
    {CKA_TRUSTED, CKA_TRUSTED},
    {CKA_SENSITIVE, CKA_DERIVE},
    {CKA_EXTRACTABLE, CKA_ALWAYS_SENSITIVE},
    {CKA_MODIFIABLE, CKA_DESTROYABLE},
    {CKA_ALWAYS_AUTHENTICATE, CKA_ALWAYS_AUTHENTICATE},
    {CKA_WRAP_WITH_TRUSTED, CKA_WRAP_WITH_TRUSTED},
    {CKA_VENDOR_DEFINED + 2, CKA_VENDOR_DEFINED + 2},
};

// The two values a received boolean can point at.
constexpr CK_BBOOL kTrue = CK_TRUE;
constexpr CK_BBOOL kFalse = CK_FALSE;

CK_ULONG elementCount(const CK_ATTRIBUTE& attribute) {
    return attribute.ulValueLen / sizeof(CK_ATTRIBUTE);
}

// The form an entry of the caller's template travels in.
AttributeForm sendForm(const CK_ATTRIBUTE& attribute) {
    const AttributeForm form = formOf(attribute.type);
    const bool given = attribute.pValue != nullptr && attribute.ulValueLen != 0;
    if (form == AttributeForm::Integer) {
        // Less than a whole CK_ULONG goes as bytes: nothing past ulValueLen
        // is read, and the device judges the length.
        return given && attribute.ulValueLen >= sizeof(CK_ULONG) ? form : AttributeForm::Bytes;
    }
    if (form == AttributeForm::Boolean) {
        return given ? form : AttributeForm::Bytes;
    }
    return form;
}

CK_ULONG readUlong(const CK_ATTRIBUTE& attribute) {
    CK_ULONG value = 0;
    std::memcpy(&value, attribute.pValue, sizeof value);
    return value;
}

// The length field of a byte- or array-form entry.
uint32_t wireLength(const CK_ATTRIBUTE& attribute, AttributeForm form) {
    uint32_t length = 0;
    const CK_ULONG host =
        form == AttributeForm::Array && attribute.ulValueLen != CK_UNAVAILABLE_INFORMATION
            ? elementCount(attribute) * kWireArrayRecord
            : attribute.ulValueLen;
    rpc::ulongToWire(host, length);
    return length;
}

// Attribute.value of a byte-form entry: the caller's bytes, or an empty
// string when pValue is null.
bool encodeValueBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* attribute = static_cast<const CK_ATTRIBUTE*>(*arg);
    if (!pb_encode_tag_for_field(stream, field)) {
        return false;
    }
    if (attribute->pValue == nullptr) {
        return pb_encode_string(stream, nullptr, 0);
    }
    return pb_encode_string(stream, static_cast<const pb_byte_t*>(attribute->pValue),
                            attribute->ulValueLen);
}

// Attribute.value of a number sent in byte form: the device's 4 bytes.
bool encodeValueWord(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* attribute = static_cast<const CK_ATTRIBUTE*>(*arg);
    uint32_t word = 0;
    if (!rpc::ulongToWire(readUlong(*attribute), word)) {
        PB_RETURN_ERROR(stream, "number does not fit the wire");
    }
    pb_byte_t bytes[4];
    putLe32(bytes, word);
    return pb_encode_tag_for_field(stream, field) && pb_encode_string(stream, bytes, sizeof bytes);
}

// Attribute.value of an array: one 12-byte record per element, written
// straight into the stream.
bool encodeValueArray(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* attribute = static_cast<const CK_ATTRIBUTE*>(*arg);
    const CK_ULONG count =
        attribute->pValue == nullptr || attribute->ulValueLen == CK_UNAVAILABLE_INFORMATION
            ? 0
            : elementCount(*attribute);
    if (!pb_encode_tag_for_field(stream, field) ||
        !pb_encode_varint(stream, count * kWireArrayRecord)) {
        return false;
    }
    const auto* elements = static_cast<const CK_ATTRIBUTE*>(attribute->pValue);
    for (CK_ULONG i = 0; i < count; ++i) {
        uint32_t type = 0;
        uint32_t length = 0;
        if (!rpc::ulongToWire(elements[i].type, type) ||
            !rpc::ulongToWire(elements[i].ulValueLen, length)) {
            PB_RETURN_ERROR(stream, "array element too wide");
        }
        uint8_t record[kWireArrayRecord] = {};
        putLe32(record, type);
        putLe32(record + 8, length);
        if (!pb_write(stream, record, sizeof record)) {
            return false;
        }
    }
    return true;
}

// One Attribute message for an entry of the caller's template.
bool fillAttribute(const CK_ATTRIBUTE& attribute, Attribute& out) {
    out = Attribute_init_zero;
    if (!rpc::ulongToWire(attribute.type, out.type)) {
        return false;
    }
    switch (sendForm(attribute)) {
        case AttributeForm::Integer:
            out.has_ulong_value = true;
            return rpc::ulongToWire(readUlong(attribute), out.ulong_value);
        case AttributeForm::Boolean:
            out.has_bool_value = true;
            out.bool_value = *static_cast<const CK_BYTE*>(attribute.pValue) != 0;
            return true;
        case AttributeForm::Bytes:
        case AttributeForm::Array: {
            const AttributeForm form = sendForm(attribute);
            out.has_length = true;
            out.length = wireLength(attribute, form);
            if (rpc::isWordAttribute(attribute.type) && attribute.pValue != nullptr &&
                attribute.ulValueLen == sizeof(CK_ULONG)) {
                out.length = 4;
                out.value.funcs.encode = &encodeValueWord;
                out.value.arg = const_cast<CK_ATTRIBUTE*>(&attribute);
                return true;
            }
            if (attribute.ulValueLen != 0) {
                out.value.funcs.encode =
                    form == AttributeForm::Array ? &encodeValueArray : &encodeValueBytes;
                out.value.arg = const_cast<CK_ATTRIBUTE*>(&attribute);
            }
            return true;
        }
    }
    return false;
}

// An Attribute that holds only its type, written directly: the same bytes
// the generic submessage encoder produces, without walking the message's
// descriptor twice per entry (C_GetAttributeValue sends these on every call).
bool encodeTypeOnly(pb_ostream_t* stream, const pb_field_t* field, uint32_t type) {
    uint8_t body[1 + 5];  // tag of Attribute.type, then at most 5 varint bytes
    pb_ostream_t inner = pb_ostream_from_buffer(body, sizeof body);
    if (!pb_encode_tag(&inner, PB_WT_VARINT, Attribute_type_tag) ||
        !pb_encode_varint(&inner, type)) {
        PB_RETURN_ERROR(stream, "attribute does not fit the wire");
    }
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_varint(stream, inner.bytes_written) &&
           pb_write(stream, body, inner.bytes_written);
}

bool encodeEach(pb_ostream_t* stream, const pb_field_t* field, void* const* arg, bool typesOnly) {
    const auto* ref = static_cast<const TemplateRef*>(*arg);
    if (ref->attributes == nullptr) {
        return true;
    }
    if (typesOnly) {
        for (CK_ULONG i = 0; i < ref->count; ++i) {
            uint32_t type = 0;
            if (!rpc::ulongToWire(ref->attributes[i].type, type)) {
                PB_RETURN_ERROR(stream, "attribute does not fit the wire");
            }
            if (!encodeTypeOnly(stream, field, type)) {
                return false;
            }
        }
        return true;
    }
    for (CK_ULONG i = 0; i < ref->count; ++i) {
        Attribute message = Attribute_init_zero;
        if (!fillAttribute(ref->attributes[i], message)) {
            PB_RETURN_ERROR(stream, "attribute does not fit the wire");
        }
        if (!pb_encode_tag_for_field(stream, field) ||
            !pb_encode_submessage(stream, Attribute_fields, &message)) {
            return false;
        }
    }
    return true;
}

bool fitsWire(CK_ULONG value) {
    uint32_t wire = 0;
    return rpc::ulongToWire(value, wire);
}

CK_RV checkArray(const CK_ATTRIBUTE& attribute) {
    // Without elements only the length travels.
    if (attribute.pValue == nullptr) {
        return fitsWire(attribute.ulValueLen) ? CKR_OK : CKR_ARGUMENTS_BAD;
    }
    if (attribute.ulValueLen % sizeof(CK_ATTRIBUTE) != 0) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    // More records than one request can hold are refused before the
    // elements are read.
    if (elementCount(attribute) * kWireArrayRecord > kMaxAllocatedBytes) {
        return CKR_DATA_LEN_RANGE;
    }
    const auto* elements = static_cast<const CK_ATTRIBUTE*>(attribute.pValue);
    for (CK_ULONG i = 0; i < elementCount(attribute); ++i) {
        if (!fitsWire(elements[i].type) || !fitsWire(elements[i].ulValueLen)) {
            return CKR_ARGUMENTS_BAD;
        }
    }
    return CKR_OK;
}

// The rest of a byte-string field into a new buffer of exactly its size
// (none for an empty one); what out held before is released first.
bool readAllocated(pb_istream_t* stream, std::unique_ptr<uint8_t[]>& out, size_t& length) {
    out.reset();
    length = 0;
    const size_t size = stream->bytes_left;
    if (size == 0) {
        return true;
    }
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size]);
    if (!bytes) {
        PB_RETURN_ERROR(stream, "out of memory");
    }
    if (!pb_read(stream, bytes.get(), size)) {
        return false;
    }
    out = std::move(bytes);
    length = size;
    return true;
}

// Attribute.value of a reply, into a buffer of exactly its size. A second
// value field in one message replaces the first.
bool decodeValue(pb_istream_t* stream, const pb_field_t* /*field*/, void** arg) {
    auto* entry = static_cast<ReceivedAttribute*>(*arg);
    return readAllocated(stream, entry->bytes, entry->received);
}

}  // namespace

AttributeForm formOf(CK_ATTRIBUTE_TYPE type) {
    if (rpc::isIntegerAttribute(type)) {
        return AttributeForm::Integer;
    }
    for (const TypeRun& run : kBooleanTypes) {
        if (type >= run.first && type <= run.last) {
            return AttributeForm::Boolean;
        }
    }
    return (type & CKF_ARRAY_ATTRIBUTE) != 0 ? AttributeForm::Array : AttributeForm::Bytes;
}

CK_RV checkTemplate(const TemplateRef& ref) {
    if (ref.attributes == nullptr) {
        return CKR_OK;
    }
    for (CK_ULONG i = 0; i < ref.count; ++i) {
        const CK_ATTRIBUTE& attribute = ref.attributes[i];
        if (!fitsWire(attribute.type)) {
            return CKR_ARGUMENTS_BAD;
        }
        switch (sendForm(attribute)) {
            case AttributeForm::Integer:
                if (!fitsWire(readUlong(attribute))) {
                    return CKR_ARGUMENTS_BAD;
                }
                break;
            case AttributeForm::Boolean:
                break;
            case AttributeForm::Bytes:
                if (!fitsWire(attribute.ulValueLen)) {
                    return CKR_ARGUMENTS_BAD;
                }
                break;
            case AttributeForm::Array:
                if (CK_RV rv = checkArray(attribute); rv != CKR_OK) {
                    return rv;
                }
                break;
        }
    }
    return CKR_OK;
}

CK_RV checkTypes(const TemplateRef& ref) {
    if (ref.attributes == nullptr) {
        return CKR_OK;
    }
    for (CK_ULONG i = 0; i < ref.count; ++i) {
        if (!fitsWire(ref.attributes[i].type)) {
            return CKR_ARGUMENTS_BAD;
        }
    }
    return CKR_OK;
}

bool encodeTemplate(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    return encodeEach(stream, field, arg, false);
}

bool encodeTypes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    return encodeEach(stream, field, arg, true);
}

void bindTemplate(pb_callback_t& field, TemplateRef& ref) {
    field.funcs.encode = &encodeTemplate;
    field.arg = &ref;
}

void bindTypes(pb_callback_t& field, TemplateRef& ref) {
    field.funcs.encode = &encodeTypes;
    field.arg = &ref;
}

// ---- received attributes ----

CK_ULONG ReceivedAttribute::hostLength() const {
    switch (form) {
        case AttributeForm::Integer:
            return sizeof(CK_ULONG);
        case AttributeForm::Boolean:
            return sizeof(CK_BBOOL);
        case AttributeForm::Bytes:
            return rpc::lengthFromWire(wireLength);
        case AttributeForm::Array:
            if (wireLength == rpc::kWireUnavailable) {
                return CK_UNAVAILABLE_INFORMATION;
            }
            return static_cast<CK_ULONG>(wireLength / kWireArrayRecord * sizeof(CK_ATTRIBUTE));
    }
    return CK_UNAVAILABLE_INFORMATION;
}

bool ReceivedAttribute::truncated() const {
    if (form != AttributeForm::Bytes && form != AttributeForm::Array) {
        return false;
    }
    return wireLength != rpc::kWireUnavailable && received < wireLength;
}

void ReceivedAttribute::copyTo(void* out) const {
    switch (form) {
        case AttributeForm::Integer:
            std::memcpy(out, &integer, sizeof integer);
            return;
        case AttributeForm::Boolean:
            std::memcpy(out, boolean ? &kTrue : &kFalse, sizeof(CK_BBOOL));
            return;
        case AttributeForm::Bytes:
            if (received != 0) {
                std::memcpy(out, bytes.get(), std::min<size_t>(received, wireLength));
            }
            return;
        case AttributeForm::Array: {
            // Type and length of each element; its pValue stays the
            // caller's, and the record's pointer word is never used.
            auto* elements = static_cast<CK_ATTRIBUTE*>(out);
            const size_t records = std::min<size_t>(received, wireLength) / kWireArrayRecord;
            for (size_t i = 0; i < records; ++i) {
                const uint8_t* record = bytes.get() + i * kWireArrayRecord;
                elements[i].type = rpc::ulongFromWire(readLe32(record));
                elements[i].ulValueLen = rpc::lengthFromWire(readLe32(record + 8));
            }
            return;
        }
    }
}

const ReceivedAttribute* AttributeList::find(CK_ATTRIBUTE_TYPE type) const {
    for (size_t i = 0; i < count_; ++i) {
        if (entries_[i].type == type) {
            return &entries_[i];
        }
    }
    return nullptr;
}

ReceivedAttribute* AttributeList::append() {
    if (count_ == kMaxReceivedAttributes) {
        return nullptr;
    }
    return &entries_[count_++];
}

bool decodeAttributes(pb_istream_t* stream, const pb_field_t* /*field*/, void** arg) {
    auto* list = static_cast<AttributeList*>(*arg);
    ReceivedAttribute* entry = list->append();
    if (entry == nullptr) {
        PB_RETURN_ERROR(stream, "more than 40 attributes");
    }
    Attribute message = Attribute_init_zero;
    message.value.funcs.decode = &decodeValue;
    message.value.arg = entry;
    if (!pb_decode(stream, Attribute_fields, &message)) {
        return false;
    }
    entry->type = rpc::ulongFromWire(message.type);
    if (message.has_ulong_value) {
        entry->form = AttributeForm::Integer;
        // All ones is CK_UNAVAILABLE_INFORMATION (CKA_KEY_GEN_MECHANISM of
        // a key that was not generated), the host's all ones.
        entry->integer = rpc::lengthFromWire(message.ulong_value);
    } else if (message.has_bool_value) {
        entry->form = AttributeForm::Boolean;
        entry->boolean = message.bool_value ? CK_TRUE : CK_FALSE;
    } else {
        const AttributeForm form = formOf(entry->type);
        // A length left out is the number of bytes that came.
        entry->wireLength =
            message.has_length ? message.length : static_cast<uint32_t>(entry->received);
        const bool number = form == AttributeForm::Integer || rpc::isWordAttribute(entry->type);
        if (!number || entry->wireLength != 4 || entry->received != 4) {
            entry->form =
                form == AttributeForm::Array ? AttributeForm::Array : AttributeForm::Bytes;
            return true;
        }
        // An integer sent as its 4 wire bytes is still a host CK_ULONG.
        entry->form = AttributeForm::Integer;
        entry->integer = rpc::lengthFromWire(readLe32(entry->bytes.get()));
    }
    entry->bytes.reset();
    entry->received = 0;
    return true;
}

void bindAttributes(pb_callback_t& field, AttributeList& list) {
    field.funcs.decode = &decodeAttributes;
    field.arg = &list;
}

bool decodeAllocated(pb_istream_t* stream, const pb_field_t* /*field*/, void** arg) {
    auto* out = static_cast<AllocatedBytes*>(*arg);
    if (stream->bytes_left > kMaxAllocatedBytes) {
        PB_RETURN_ERROR(stream, "byte string over 2048 bytes");
    }
    return readAllocated(stream, out->bytes, out->length);
}

void bindAllocated(pb_callback_t& field, AllocatedBytes& out) {
    field.funcs.decode = &decodeAllocated;
    field.arg = &out;
}

}  // namespace vexa::pkcs11
