// PKCS#11's rules for making an object from a template, changing its
// attributes and reading them back.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/objects/object.h"

namespace vexa::sim {

// How a new object comes about; it decides which attributes a template
// must and must not give, and the key's history attributes.
enum class Origin : uint8_t { Create, Generate, Unwrap, Derive };

// Builds an object from a template. `implied` holds the attributes that the
// operation fixes (the class and key type of a generated key); a template
// value that contradicts one gives CKR_TEMPLATE_INCONSISTENT. The caller
// adds the key material and calls finishKey (key_material.h) afterwards.
//   CKR_TEMPLATE_INCOMPLETE     class, subtype or a required attribute missing
//   CKR_TEMPLATE_INCONSISTENT   one type given twice with different values
//   CKR_ATTRIBUTE_VALUE_INVALID class or subtype the device does not keep
//   CKR_ATTRIBUTE_TYPE_INVALID  an attribute such an object does not have
//   CKR_ATTRIBUTE_READ_ONLY     an attribute that this origin must not set
Rv buildObject(const Template& tmpl, const Template& implied, Origin origin, bool so, Object* out);

// Checks a change of attributes (C_SetAttributeValue, or the template of
// C_CopyObject when `copy` is set) and applies it to `obj`, all or nothing.
Rv applyChanges(const Template& changes, bool copy, bool so, Object* obj);

// Reads attributes: a missing type or a type the object does not have is
// unavailable with CKR_ATTRIBUTE_TYPE_INVALID; a secret value of a
// sensitive or unextractable key is unavailable with CKR_ATTRIBUTE_SENSITIVE.
// Every requested type gets a result; the first error is returned.
Rv readAttributes(const Object& obj, const std::vector<uint32_t>& types,
                  std::vector<AttrResult>* out);

// Whether an object matches a search template (every attribute present
// with an equal value). Secret values never match, so that a search cannot
// probe them.
bool matches(const Object& obj, const Template& tmpl);

// Sets CKA_LOCAL, CKA_KEY_GEN_MECHANISM, CKA_ALWAYS_SENSITIVE and
// CKA_NEVER_EXTRACTABLE of a new key by its origin; `base` is the base key
// of a derivation.
void setProvenance(Origin origin, uint32_t mechanism, const Object* base, Object* key);

}  // namespace vexa::sim
