// Attributes as the virtual device holds them.
//
// Every value is kept in one canonical byte form, so that comparing and
// storing need no knowledge of types: a CK_ULONG is 4 little-endian bytes
// (the wire carries CK_ULONG as uint32), a CK_BBOOL is one byte 0x00 or
// 0x01, an array-valued attribute is a run of 12-byte element records
// (type, 0, length), anything else is its bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/types/device_types.h"
#include "sim/objects/bytes.h"

namespace vexa::sim {

using Rv = uint32_t;  // a CK_RV as the wire carries it

enum class AttrKind : uint8_t { Ulong, Bool, Bytes, Array };

// The kind of a type: the integer and boolean types the module sends in
// integer and boolean form, array-valued types by their flag bit, every
// other type bytes.
AttrKind attributeKind(uint32_t type);

struct Attr {
    uint32_t type = 0;
    Bytes value;
};
using Template = std::vector<Attr>;

// Converts a request template into canonical form. A value that does not
// fit the kind of its type (a boolean of two bytes, an integer of three,
// a length that differs from the bytes received, a partial array record)
// gives CKR_ATTRIBUTE_VALUE_INVALID and no template.
Rv toTemplate(const std::vector<DeviceAttribute>& wire, Template* out);

// One attribute of a reply: the value in canonical form, or none when the
// attribute is unavailable (its length then reads CK_UNAVAILABLE_INFORMATION).
struct AttrResult {
    uint32_t type = 0;
    std::optional<Bytes> value;
};

// The reply form of a result: integer, boolean or byte form by the kind of
// its type; an unavailable attribute in byte form with length 0xFFFFFFFF.
DeviceAttribute toWire(const AttrResult& result);

inline Bytes boolBytes(bool v) {
    return Bytes{static_cast<uint8_t>(v ? 1 : 0)};
}

// The first attribute of the type in a template, or nullptr.
const Attr* findAttr(const Template& t, uint32_t type);
std::optional<uint32_t> ulongOf(const Template& t, uint32_t type);
std::optional<bool> boolOf(const Template& t, uint32_t type);

}  // namespace vexa::sim
