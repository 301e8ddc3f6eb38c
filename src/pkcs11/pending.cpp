// Placeholders for the operations of the families still to be built
// (objects and attributes, cryptographic operations, key management). Each
// answers CKR_FUNCTION_NOT_SUPPORTED; the export in front of it has already
// logged its name and checked that the module is initialised. A family's
// file replaces its placeholders here one by one.
#include "pkcs11/keys.h"

namespace vexa::pkcs11 {

// ---- keys.h ----

CK_RV generateKey(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                  CK_MECHANISM_PTR /*pMechanism*/, CK_ATTRIBUTE_PTR /*pTemplate*/,
                  CK_ULONG /*ulCount*/, CK_OBJECT_HANDLE_PTR /*phKey*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV generateKeyPair(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                      CK_MECHANISM_PTR /*pMechanism*/, CK_ATTRIBUTE_PTR /*pPublicKeyTemplate*/,
                      CK_ULONG /*ulPublicKeyAttributeCount*/,
                      CK_ATTRIBUTE_PTR /*pPrivateKeyTemplate*/,
                      CK_ULONG /*ulPrivateKeyAttributeCount*/, CK_OBJECT_HANDLE_PTR /*phPublicKey*/,
                      CK_OBJECT_HANDLE_PTR /*phPrivateKey*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV wrapKey(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
              CK_MECHANISM_PTR /*pMechanism*/, CK_OBJECT_HANDLE /*hWrappingKey*/,
              CK_OBJECT_HANDLE /*hKey*/, CK_BYTE_PTR /*pWrappedKey*/,
              CK_ULONG_PTR /*pulWrappedKeyLen*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV unwrapKey(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                CK_MECHANISM_PTR /*pMechanism*/, CK_OBJECT_HANDLE /*hUnwrappingKey*/,
                CK_BYTE_PTR /*pWrappedKey*/, CK_ULONG /*ulWrappedKeyLen*/,
                CK_ATTRIBUTE_PTR /*pTemplate*/, CK_ULONG /*ulAttributeCount*/,
                CK_OBJECT_HANDLE_PTR /*phKey*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV deriveKey(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                CK_MECHANISM_PTR /*pMechanism*/, CK_OBJECT_HANDLE /*hBaseKey*/,
                CK_ATTRIBUTE_PTR /*pTemplate*/, CK_ULONG /*ulAttributeCount*/,
                CK_OBJECT_HANDLE_PTR /*phKey*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

}  // namespace vexa::pkcs11
