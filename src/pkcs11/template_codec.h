// PKCS#11 attribute templates as the repeated Attribute message of the
// remote-call schema, in both directions.
//
// An attribute travels in one of three forms:
//   integer  type, ulong_value        the integer types below, when the
//                                     caller gives a whole CK_ULONG
//   boolean  type, bool_value         the boolean types below, when the
//                                     caller gives at least one byte
//   byte     type, length, value      everything else; value is absent
//                                     when length is 0 and empty when the
//                                     caller's pValue is null
// Array-valued attributes (CKF_ARRAY_ATTRIBUTE) go in byte form as 12-byte
// little-endian records (type, 0, length), one per element, whatever the
// host's CK_ATTRIBUTE looks like; element values do not travel, and a
// pointer taken from the wire is never followed.
//
// On the way back an integer becomes a host CK_ULONG (sizeof(CK_ULONG)
// bytes), a boolean one CK_BBOOL, a byte string exactly the bytes that
// arrived, and an array as many host CK_ATTRIBUTEs as whole records arrived.
#pragma once

#include <p11-kit/pkcs11.h>
#include <pb.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace vexa::pkcs11 {

// Entries accepted in one C_GetAttributeValue reply; a reply with more does
// not decode.
constexpr size_t kMaxReceivedAttributes = 40;
// Largest byte string taken by decodeAllocated (the whole exchange buffer).
constexpr size_t kMaxAllocatedBytes = 2048;
// One array element on the wire: type, 0, length, 32 bits each.
constexpr size_t kWireArrayRecord = 12;

enum class AttributeForm : uint8_t { Integer, Boolean, Bytes, Array };

// How values of `type` travel when a value is given.
AttributeForm formOf(CK_ATTRIBUTE_TYPE type);

// A caller's template: `count` entries at `attributes` (null: none).
struct TemplateRef {
    const CK_ATTRIBUTE* attributes = nullptr;
    CK_ULONG count = 0;
};

// Checks that a template can travel, before anything is encoded:
// CKR_ARGUMENTS_BAD for a type, length, integer value or array element that
// does not fit the wire's 32 bits; CKR_ATTRIBUTE_VALUE_INVALID for an array
// whose length is not a whole number of CK_ATTRIBUTEs; CKR_DATA_LEN_RANGE for
// an array with more elements than one request can carry. CKR_OK otherwise.
CK_RV checkTemplate(const TemplateRef& ref);
// The same for a template of which only the types are sent.
CK_RV checkTypes(const TemplateRef& ref);

// Encoder routines for Request.template_ / template2 (argument: TemplateRef).
// encodeTemplate sends each entry in its form; encodeTypes only the types.
// Both are deterministic: nanopb may run them twice.
bool encodeTemplate(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool encodeTypes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
// Binds the routine and its argument; `ref` must outlive the encoding.
void bindTemplate(pb_callback_t& field, TemplateRef& ref);
void bindTypes(pb_callback_t& field, TemplateRef& ref);

// One attribute of a reply.
struct ReceivedAttribute {
    CK_ATTRIBUTE_TYPE type = 0;
    AttributeForm form = AttributeForm::Bytes;
    CK_ULONG integer = 0;  // Integer form
    CK_BBOOL boolean = CK_FALSE;
    // Byte and array forms: the length the device states (0xFFFFFFFF:
    // unavailable) and the bytes that actually arrived.
    uint32_t wireLength = 0;
    std::unique_ptr<uint8_t[]> bytes;
    size_t received = 0;

    // The length the application sees: sizeof(CK_ULONG), 1, the byte
    // length, whole records times sizeof(CK_ATTRIBUTE), or
    // CK_UNAVAILABLE_INFORMATION.
    CK_ULONG hostLength() const;
    // True when the device stated a length larger than the bytes it sent
    // (it leaves out values that would overflow its reply).
    bool truncated() const;
    // Writes the value into `out`, which has room for hostLength() bytes;
    // for arrays `out` is the caller's CK_ATTRIBUTE array, of which only type
    // and ulValueLen are set. Never copies more than arrived.
    void copyTo(void* out) const;
};

// The attributes of one C_GetAttributeValue reply: at most 40; the values
// are released with the list.
class AttributeList {
public:
    size_t size() const { return count_; }
    const ReceivedAttribute& operator[](size_t i) const { return entries_[i]; }
    // The first entry of this type, or null.
    const ReceivedAttribute* find(CK_ATTRIBUTE_TYPE type) const;
    // The next free entry, or null when the list is full.
    ReceivedAttribute* append();

private:
    std::array<ReceivedAttribute, kMaxReceivedAttributes> entries_;
    uint8_t count_ = 0;
};

// Decoder routine for Response.attributes (argument: AttributeList): takes
// one Attribute per call, refuses the 41st.
bool decodeAttributes(pb_istream_t* stream, const pb_field_t* field, void** arg);
void bindAttributes(pb_callback_t& field, AttributeList& list);

// A byte string of a reply in a buffer of its own.
struct AllocatedBytes {
    std::unique_ptr<uint8_t[]> bytes;
    size_t length = 0;
};
// Decoder routine for a bytes field (argument: AllocatedBytes): refuses a
// field longer than kMaxAllocatedBytes, otherwise allocates exactly its
// length and reads it.
bool decodeAllocated(pb_istream_t* stream, const pb_field_t* field, void** arg);
void bindAllocated(pb_callback_t& field, AllocatedBytes& out);

}  // namespace vexa::pkcs11
