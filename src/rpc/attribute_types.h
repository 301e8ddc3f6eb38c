// The attribute types whose values travel as integers (CK_ULONG values in
// the schema's integer form). Host and device read the same list, so that a
// template the module sends in integer form is one the device expects so.
#pragma once

#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <iterator>

namespace vexa::rpc {

inline constexpr CK_ATTRIBUTE_TYPE kIntegerAttributeTypes[] = {
    CKA_CLASS,
    CKA_CERTIFICATE_TYPE,
    CKA_CERTIFICATE_CATEGORY,
    CKA_JAVA_MIDP_SECURITY_DOMAIN,
    CKA_NAME_HASH_ALGORITHM,
    CKA_KEY_TYPE,
    CKA_MODULUS_BITS,
    CKA_VALUE_LEN,
    CKA_KEY_GEN_MECHANISM,
};

// Numbers (CK_ULONG values) that travel in byte form: the catalogue gives
// them no integer form, so their value is the device's layout of the
// number, 4 little-endian bytes, never the host's 8.
inline constexpr CK_ATTRIBUTE_TYPE kWordAttributeTypes[] = {
    CKA_PRIME_BITS,
    CKA_SUB_PRIME_BITS,
    CKA_VALUE_BITS,
};

inline bool isWordAttribute(CK_ATTRIBUTE_TYPE type) {
    return std::find(std::begin(kWordAttributeTypes), std::end(kWordAttributeTypes), type) !=
           std::end(kWordAttributeTypes);
}

inline bool isIntegerAttribute(CK_ATTRIBUTE_TYPE type) {
    return std::find(std::begin(kIntegerAttributeTypes), std::end(kIntegerAttributeTypes), type) !=
           std::end(kIntegerAttributeTypes);
}

}  // namespace vexa::rpc
