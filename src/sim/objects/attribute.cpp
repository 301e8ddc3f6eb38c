#include "sim/objects/attribute.h"

#include <algorithm>
#include <iterator>

#include <p11-kit/pkcs11.h>

#include "rpc/attribute_types.h"

namespace vexa::sim {
namespace {

bool isBoolType(uint32_t t) {
    return t == CKA_TOKEN || t == CKA_PRIVATE || t == CKA_TRUSTED ||
           (t >= CKA_SENSITIVE && t <= CKA_DERIVE) ||
           (t >= CKA_EXTRACTABLE && t <= CKA_ALWAYS_SENSITIVE) ||
           (t >= CKA_MODIFIABLE && t <= CKA_DESTROYABLE) || t == CKA_ALWAYS_AUTHENTICATE ||
           t == CKA_WRAP_WITH_TRUSTED;
}

constexpr size_t kArrayRecord = 12;

}  // namespace

AttrKind attributeKind(uint32_t type) {
    if (rpc::isIntegerAttribute(type)) {
        return AttrKind::Ulong;
    }
    if (isBoolType(type)) {
        return AttrKind::Bool;
    }
    if ((type & CKF_ARRAY_ATTRIBUTE) != 0) {
        return AttrKind::Array;
    }
    return AttrKind::Bytes;
}

namespace {

// The canonical form of one wire attribute, or false when it cannot have one.
bool canonical(const DeviceAttribute& w, Bytes* out) {
    const AttrKind kind = attributeKind(w.type);
    if (w.form == DeviceAttribute::Form::Ulong) {
        if (kind != AttrKind::Ulong) {
            return false;
        }
        *out = ulongBytes(w.ulongValue);
        return true;
    }
    if (w.form == DeviceAttribute::Form::Bool) {
        if (kind != AttrKind::Bool) {
            return false;
        }
        *out = boolBytes(w.boolValue);
        return true;
    }
    // Byte form: the stated length must be what arrived.
    // A type sent without any value counts as an empty byte string.
    if (w.form == DeviceAttribute::Form::Bytes && w.length != w.bytes.size()) {
        return false;
    }
    const Bytes& v = w.bytes;
    switch (kind) {
        case AttrKind::Ulong:
            // A host may send an integer in byte form; 8-byte values are
            // accepted when they fit into 32 bits.
            if (v.size() == 4) {
                *out = v;
                return true;
            }
            if (v.size() == 8 &&
                std::all_of(v.begin() + 4, v.end(), [](uint8_t b) { return b == 0; })) {
                *out = Bytes(v.begin(), v.begin() + 4);
                return true;
            }
            return false;
        case AttrKind::Bool:
            if (v.size() != 1) {
                return false;
            }
            *out = boolBytes(v[0] != 0);
            return true;
        case AttrKind::Array:
            if (v.size() % kArrayRecord != 0) {
                return false;
            }
            *out = v;
            return true;
        case AttrKind::Bytes:
            *out = v;
            return true;
    }
    return false;
}

}  // namespace

Rv toTemplate(const std::vector<DeviceAttribute>& wire, Template* out) {
    Template t;
    t.reserve(wire.size());
    for (const DeviceAttribute& w : wire) {
        Attr a;
        a.type = w.type;
        if (!canonical(w, &a.value)) {
            return CKR_ATTRIBUTE_VALUE_INVALID;
        }
        t.push_back(std::move(a));
    }
    *out = std::move(t);
    return CKR_OK;
}

DeviceAttribute toWire(const AttrResult& result) {
    if (!result.value) {
        return DeviceAttribute::ofLength(result.type, 0xFFFFFFFFu);
    }
    const Bytes& v = *result.value;
    switch (attributeKind(result.type)) {
        case AttrKind::Ulong:
            if (v.size() == 4) {
                return DeviceAttribute::ofUlong(result.type, readLe32(v.data()));
            }
            break;
        case AttrKind::Bool:
            if (v.size() == 1) {
                return DeviceAttribute::ofBool(result.type, v[0] != 0);
            }
            break;
        default:
            break;
    }
    return DeviceAttribute::ofBytes(result.type, v);
}

const Attr* findAttr(const Template& t, uint32_t type) {
    for (const Attr& a : t) {
        if (a.type == type) {
            return &a;
        }
    }
    return nullptr;
}

std::optional<uint32_t> ulongOf(const Template& t, uint32_t type) {
    const Attr* a = findAttr(t, type);
    if (a == nullptr || a->value.size() != 4) {
        return std::nullopt;
    }
    return readLe32(a->value.data());
}

std::optional<bool> boolOf(const Template& t, uint32_t type) {
    const Attr* a = findAttr(t, type);
    if (a == nullptr || a->value.size() != 1) {
        return std::nullopt;
    }
    return a->value[0] != 0;
}

}  // namespace vexa::sim
