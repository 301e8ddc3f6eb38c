// The attributes that PKCS#11 2.40 gives each object class the virtual
// device stores, with their defaults and the rules for creating, reading
// and changing them. The tables are the single source of those rules.
#pragma once

#include <cstdint>
#include <vector>

namespace vexa::sim {

// Rule flags of one attribute, after the footnotes of the PKCS#11 tables.
enum AttrRuleFlag : uint16_t {
    kReqCreate = 1 << 0,     // must be given to C_CreateObject
    kNoCreate = 1 << 1,      // must not be given to C_CreateObject
    kReqGenerate = 1 << 2,   // must be given to key generation
    kNoGenerate = 1 << 3,    // must not be given to key generation or derivation
    kReqUnwrap = 1 << 4,     // must be given to C_UnwrapKey
    kNoUnwrap = 1 << 5,      // must not be given to C_UnwrapKey
    kSensitive = 1 << 6,     // hidden while the key is sensitive or unextractable
    kModifiable = 1 << 7,    // may change through C_SetAttributeValue and C_CopyObject
    kSoOnlyTrue = 1 << 8,    // only the security officer may set it to true
    kStickyTrue = 1 << 9,    // cannot change once true
    kStickyFalse = 1 << 10,  // cannot change once false
    kCopyChange = 1 << 11,   // may change while copying
};

// The value an attribute takes when the template does not give one.
enum class Default : uint8_t {
    None,   // set by the device itself (computed) or required
    Empty,  // empty byte string
    False,
    True,
    Ulong,  // the rule's number
};

struct AttrRule {
    uint32_t type;
    uint16_t flags;
    Default def;
    uint32_t number;
};

// The rules that apply to an object of a class and subtype (certificate
// type or key type), in table order; empty when the device does not
// support that class or subtype. Built once; the reference stays valid.
const std::vector<const AttrRule*>& schemaFor(uint32_t objectClass, uint32_t subtype);

// The rule of a type within a schema, or nullptr when the type is not an
// attribute of such an object.
const AttrRule* findRule(const std::vector<const AttrRule*>& schema, uint32_t type);

// Whether an object class has a subtype attribute, and which.
uint32_t subtypeAttribute(uint32_t objectClass);  // 0 when none

}  // namespace vexa::sim
