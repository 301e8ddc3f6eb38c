// Key management and random numbers: key and key-pair generation, wrapping,
// unwrapping, derivation, seeding and drawing random data. The callers have
// logged the function's name (where it has a TRACE line) and checked that
// the module is initialised.
#pragma once

#include <p11-kit/pkcs11.h>

#include "pkcs11/context.h"

namespace vexa::pkcs11 {

CK_RV generateKey(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                  CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey);
CK_RV generateKeyPair(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                      CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                      CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                      CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey);
CK_RV wrapKey(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
              CK_OBJECT_HANDLE hWrappingKey, CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey,
              CK_ULONG_PTR pulWrappedKeyLen);
CK_RV unwrapKey(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                CK_OBJECT_HANDLE hUnwrappingKey, CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen,
                CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey);
CK_RV deriveKey(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                CK_OBJECT_HANDLE hBaseKey, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount,
                CK_OBJECT_HANDLE_PTR phKey);
CK_RV seedRandom(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed,
                 CK_ULONG ulSeedLen);
CK_RV generateRandom(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData,
                     CK_ULONG ulRandomLen);

}  // namespace vexa::pkcs11
