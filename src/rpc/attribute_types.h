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

inline bool isIntegerAttribute(CK_ATTRIBUTE_TYPE type) {
    return std::find(std::begin(kIntegerAttributeTypes), std::end(kIntegerAttributeTypes), type) !=
           std::end(kIntegerAttributeTypes);
}

}  // namespace vexa::rpc
