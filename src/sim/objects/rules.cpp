#include "sim/objects/rules.h"

#include <p11-kit/pkcs11.h>

#include "sim/objects/schema.h"

namespace vexa::sim {
namespace {

uint16_t forbiddenFlag(Origin origin) {
    switch (origin) {
        case Origin::Create:
            return kNoCreate;
        case Origin::Generate:
        case Origin::Derive:
            return kNoGenerate;
        case Origin::Unwrap:
            return kNoUnwrap;
    }
    return 0;
}

uint16_t requiredFlag(Origin origin) {
    switch (origin) {
        case Origin::Create:
            return kReqCreate;
        case Origin::Generate:
            return kReqGenerate;
        case Origin::Unwrap:
            return kReqUnwrap;
        case Origin::Derive:
            return 0;
    }
    return 0;
}

// A CK_DATE is eight ASCII digits, or empty for "no date".
bool validValue(uint32_t type, const Bytes& v) {
    if (type == CKA_START_DATE || type == CKA_END_DATE) {
        if (v.empty()) {
            return true;
        }
        if (v.size() != 8) {
            return false;
        }
        for (uint8_t c : v) {
            if (c < '0' || c > '9') {
                return false;
            }
        }
    }
    return true;
}

bool isTrue(const Bytes& v) {
    return v.size() == 1 && v[0] != 0;
}

// The value of `type` from the template or the implied attributes;
// CKR_TEMPLATE_INCONSISTENT when they disagree.
Rv fixedValue(const Template& tmpl, const Template& implied, uint32_t type,
              std::optional<uint32_t>* out) {
    const std::optional<uint32_t> a = ulongOf(tmpl, type);
    const std::optional<uint32_t> b = ulongOf(implied, type);
    if (findAttr(tmpl, type) != nullptr && !a) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    if (a && b && *a != *b) {
        return CKR_TEMPLATE_INCONSISTENT;
    }
    *out = a ? a : b;
    return CKR_OK;
}

Bytes defaultValue(const AttrRule& r) {
    switch (r.def) {
        case Default::Empty:
            return Bytes();
        case Default::False:
            return boolBytes(false);
        case Default::True:
            return boolBytes(true);
        case Default::Ulong:
            return ulongBytes(r.number);
        case Default::None:
            break;
    }
    return Bytes();
}

const std::vector<const AttrRule*>& schemaOf(const Object& obj) {
    const uint32_t cls = obj.objectClass();
    const uint32_t sub = subtypeAttribute(cls);
    return schemaFor(cls, sub == 0 ? 0 : obj.ulong(sub, 0xFFFFFFFFu));
}

}  // namespace

Rv buildObject(const Template& tmpl, const Template& implied, Origin origin, bool so, Object* out) {
    // 1. One type given twice must carry one value.
    for (size_t i = 0; i < tmpl.size(); ++i) {
        for (size_t j = i + 1; j < tmpl.size(); ++j) {
            if (tmpl[i].type == tmpl[j].type && tmpl[i].value != tmpl[j].value) {
                return CKR_TEMPLATE_INCONSISTENT;
            }
        }
    }
    // 2. Class and subtype choose the rules.
    std::optional<uint32_t> cls;
    Rv rv = fixedValue(tmpl, implied, CKA_CLASS, &cls);
    if (rv != CKR_OK) {
        return rv;
    }
    if (!cls) {
        return CKR_TEMPLATE_INCOMPLETE;
    }
    std::optional<uint32_t> sub;
    const uint32_t subAttr = subtypeAttribute(*cls);
    if (subAttr != 0) {
        rv = fixedValue(tmpl, implied, subAttr, &sub);
        if (rv != CKR_OK) {
            return rv;
        }
        if (!sub) {
            return CKR_TEMPLATE_INCOMPLETE;
        }
    }
    const std::vector<const AttrRule*>& schema = schemaFor(*cls, sub.value_or(0));
    if (schema.empty()) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    // 3. Every given attribute must belong to the object and be settable now.
    const uint16_t forbidden = forbiddenFlag(origin);
    for (const Attr& a : tmpl) {
        const AttrRule* r = findRule(schema, a.type);
        if (r == nullptr) {
            return CKR_ATTRIBUTE_TYPE_INVALID;
        }
        if ((r->flags & forbidden) != 0 ||
            ((r->flags & kSoOnlyTrue) != 0 && isTrue(a.value) && !so)) {
            return CKR_ATTRIBUTE_READ_ONLY;
        }
        if (!validValue(a.type, a.value)) {
            return CKR_ATTRIBUTE_VALUE_INVALID;
        }
    }
    // 4. Required attributes, then defaults.
    const uint16_t required = requiredFlag(origin);
    Object obj;
    for (const AttrRule* r : schema) {
        const Attr* given = findAttr(tmpl, r->type);
        const Attr* fixed = findAttr(implied, r->type);
        if (given != nullptr) {
            obj.set(r->type, given->value);
        } else if (fixed != nullptr) {
            obj.set(r->type, fixed->value);
        } else if ((r->flags & required) != 0) {
            return CKR_TEMPLATE_INCOMPLETE;
        } else if (r->def != Default::None) {
            obj.set(r->type, defaultValue(*r));
        }
    }
    *out = std::move(obj);
    return CKR_OK;
}

Rv applyChanges(const Template& changes, bool copy, bool so, Object* obj) {
    const std::vector<const AttrRule*>& schema = schemaOf(*obj);
    const bool modifiable = obj->flag(CKA_MODIFIABLE, true);
    for (const Attr& a : changes) {
        const AttrRule* r = findRule(schema, a.type);
        if (r == nullptr) {
            return CKR_ATTRIBUTE_TYPE_INVALID;
        }
        const Bytes* current = obj->get(a.type);
        if (current != nullptr && *current == a.value) {
            continue;  // restating a value changes nothing
        }
        const bool allowed = ((r->flags & kModifiable) != 0 && (modifiable || !copy)) ||
                             (copy && (r->flags & kCopyChange) != 0);
        if (!allowed) {
            return CKR_ATTRIBUTE_READ_ONLY;
        }
        const bool wasTrue = current != nullptr && isTrue(*current);
        const bool nowTrue = isTrue(a.value);
        if (((r->flags & kStickyTrue) != 0 && wasTrue && !nowTrue) ||
            ((r->flags & kStickyFalse) != 0 && !wasTrue && nowTrue) ||
            ((r->flags & kSoOnlyTrue) != 0 && nowTrue && !so)) {
            return CKR_ATTRIBUTE_READ_ONLY;
        }
        if (!validValue(a.type, a.value)) {
            return CKR_ATTRIBUTE_VALUE_INVALID;
        }
    }
    for (const Attr& a : changes) {
        obj->set(a.type, a.value);
    }
    return CKR_OK;
}

namespace {
bool hidden(const Object& obj, const AttrRule* r) {
    return r != nullptr && (r->flags & kSensitive) != 0 &&
           (obj.flag(CKA_SENSITIVE, true) || !obj.flag(CKA_EXTRACTABLE, false));
}
}  // namespace

Rv readAttributes(const Object& obj, const std::vector<uint32_t>& types,
                  std::vector<AttrResult>* out) {
    const std::vector<const AttrRule*>& schema = schemaOf(obj);
    Rv rv = CKR_OK;
    out->clear();
    out->reserve(types.size());
    for (uint32_t type : types) {
        AttrResult res;
        res.type = type;
        const Bytes* v = obj.get(type);
        const AttrRule* r = findRule(schema, type);
        if (v == nullptr) {
            if (rv == CKR_OK) {
                rv = CKR_ATTRIBUTE_TYPE_INVALID;
            }
        } else if (hidden(obj, r)) {
            if (rv == CKR_OK) {
                rv = CKR_ATTRIBUTE_SENSITIVE;
            }
        } else {
            res.value = *v;
        }
        out->push_back(std::move(res));
    }
    return rv;
}

bool matches(const Object& obj, const Template& tmpl) {
    if (tmpl.empty()) {
        return true;
    }
    const std::vector<const AttrRule*>& schema = schemaOf(obj);
    for (const Attr& a : tmpl) {
        const Bytes* v = obj.get(a.type);
        if (v == nullptr || *v != a.value || hidden(obj, findRule(schema, a.type))) {
            return false;
        }
    }
    return true;
}

void setProvenance(Origin origin, uint32_t mechanism, const Object* base, Object* key) {
    const uint32_t cls = key->objectClass();
    if (cls != CKO_PUBLIC_KEY && cls != CKO_PRIVATE_KEY && cls != CKO_SECRET_KEY) {
        return;  // only keys have a history
    }
    const bool generated = origin == Origin::Generate;
    key->setBool(CKA_LOCAL, generated);
    key->setUlong(CKA_KEY_GEN_MECHANISM,
                  generated ? mechanism : static_cast<uint32_t>(CK_UNAVAILABLE_INFORMATION));
    if (cls == CKO_PUBLIC_KEY) {
        return;
    }
    const bool sensitive = key->flag(CKA_SENSITIVE, true);
    const bool extractable = key->flag(CKA_EXTRACTABLE, false);
    bool alwaysSensitive = sensitive;
    bool neverExtractable = !extractable;
    if (origin == Origin::Unwrap || origin == Origin::Create) {
        // The key has been outside the device.
        alwaysSensitive = false;
        neverExtractable = false;
    } else if (origin == Origin::Derive && base != nullptr) {
        alwaysSensitive = alwaysSensitive && base->flag(CKA_ALWAYS_SENSITIVE, false);
        neverExtractable = neverExtractable && base->flag(CKA_NEVER_EXTRACTABLE, false);
    }
    key->setBool(CKA_ALWAYS_SENSITIVE, alwaysSensitive);
    key->setBool(CKA_NEVER_EXTRACTABLE, neverExtractable);
}

}  // namespace vexa::sim
