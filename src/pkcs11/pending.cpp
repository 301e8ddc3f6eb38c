// Placeholders for the operations of the families still to be built
// (objects and attributes, cryptographic operations, key management). Each
// answers CKR_FUNCTION_NOT_SUPPORTED; the export in front of it has already
// logged its name and checked that the module is initialised. A family's
// file replaces its placeholders here one by one.
#include "pkcs11/crypto.h"
#include "pkcs11/keys.h"
#include "pkcs11/objects.h"

namespace vexa::pkcs11 {

// ---- objects.h ----

CK_RV createObject(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                   CK_ATTRIBUTE_PTR /*pTemplate*/, CK_ULONG /*ulCount*/,
                   CK_OBJECT_HANDLE_PTR /*phObject*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV copyObject(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                 CK_OBJECT_HANDLE /*hObject*/, CK_ATTRIBUTE_PTR /*pTemplate*/, CK_ULONG /*ulCount*/,
                 CK_OBJECT_HANDLE_PTR /*phNewObject*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV destroyObject(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                    CK_OBJECT_HANDLE /*hObject*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV getObjectSize(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                    CK_OBJECT_HANDLE /*hObject*/, CK_ULONG_PTR /*pulSize*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV getAttributeValue(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                        CK_OBJECT_HANDLE /*hObject*/, CK_ATTRIBUTE_PTR /*pTemplate*/,
                        CK_ULONG /*ulCount*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV setAttributeValue(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                        CK_OBJECT_HANDLE /*hObject*/, CK_ATTRIBUTE_PTR /*pTemplate*/,
                        CK_ULONG /*ulCount*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV findObjectsInit(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                      CK_ATTRIBUTE_PTR /*pTemplate*/, CK_ULONG /*ulCount*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV findObjects(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                  CK_OBJECT_HANDLE_PTR /*phObject*/, CK_ULONG /*ulMaxObjectCount*/,
                  CK_ULONG_PTR /*pulObjectCount*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV findObjectsFinal(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

// ---- crypto.h ----

CK_RV encryptInit(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                  CK_MECHANISM_PTR /*pMechanism*/, CK_OBJECT_HANDLE /*hKey*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV encrypt(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pData*/,
              CK_ULONG /*ulDataLen*/, CK_BYTE_PTR /*pEncryptedData*/,
              CK_ULONG_PTR /*pulEncryptedDataLen*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV encryptUpdate(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pPart*/,
                    CK_ULONG /*ulPartLen*/, CK_BYTE_PTR /*pEncryptedPart*/,
                    CK_ULONG_PTR /*pulEncryptedPartLen*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV encryptFinal(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                   CK_BYTE_PTR /*pLastEncryptedPart*/, CK_ULONG_PTR /*pulLastEncryptedPartLen*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV decryptInit(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                  CK_MECHANISM_PTR /*pMechanism*/, CK_OBJECT_HANDLE /*hKey*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV decrypt(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pEncryptedData*/,
              CK_ULONG /*ulEncryptedDataLen*/, CK_BYTE_PTR /*pData*/, CK_ULONG_PTR /*pulDataLen*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV decryptUpdate(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                    CK_BYTE_PTR /*pEncryptedPart*/, CK_ULONG /*ulEncryptedPartLen*/,
                    CK_BYTE_PTR /*pPart*/, CK_ULONG_PTR /*pulPartLen*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV decryptFinal(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pLastPart*/,
                   CK_ULONG_PTR /*pulLastPartLen*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV digestInit(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                 CK_MECHANISM_PTR /*pMechanism*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV digest(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pData*/,
             CK_ULONG /*ulDataLen*/, CK_BYTE_PTR /*pDigest*/, CK_ULONG_PTR /*pulDigestLen*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV digestUpdate(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pPart*/,
                   CK_ULONG /*ulPartLen*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV digestKey(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/, CK_OBJECT_HANDLE /*hKey*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV digestFinal(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pDigest*/,
                  CK_ULONG_PTR /*pulDigestLen*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV signInit(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
               CK_MECHANISM_PTR /*pMechanism*/, CK_OBJECT_HANDLE /*hKey*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV sign(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pData*/,
           CK_ULONG /*ulDataLen*/, CK_BYTE_PTR /*pSignature*/, CK_ULONG_PTR /*pulSignatureLen*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV signUpdate(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pPart*/,
                 CK_ULONG /*ulPartLen*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV signFinal(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pSignature*/,
                CK_ULONG_PTR /*pulSignatureLen*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV verifyInit(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/,
                 CK_MECHANISM_PTR /*pMechanism*/, CK_OBJECT_HANDLE /*hKey*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV verify(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pData*/,
             CK_ULONG /*ulDataLen*/, CK_BYTE_PTR /*pSignature*/, CK_ULONG /*ulSignatureLen*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV verifyUpdate(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pPart*/,
                   CK_ULONG /*ulPartLen*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV verifyFinal(CContext& /*context*/, CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pSignature*/,
                  CK_ULONG /*ulSignatureLen*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

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
