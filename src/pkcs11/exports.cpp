// The exported PKCS#11 functions. Each is one line into the guard of
// export_guard.h: the lifecycle functions run on the module context, the
// others log their name at TRACE (where they have a TRACE line: for the
// functions that reach the device, as the call table says), answer
// CKR_CRYPTOKI_NOT_INITIALIZED before the module is initialised, and then
// run the operation of their family. The functions without a device
// counterpart answer a fixed code without touching the context.
#include "pkcs11/crypto.h"
#include "pkcs11/export_guard.h"
#include "pkcs11/keys.h"
#include "pkcs11/lifecycle.h"
#include "pkcs11/objects.h"
#include "pkcs11/sessions.h"
#include "pkcs11/slots.h"

using vexa::pkcs11::CContext;
using vexa::pkcs11::traceOf;
using F = vexa::rpc::FunctionId;
using vexa::pkcs11::guarded;
using vexa::pkcs11::operation;
namespace ops = vexa::pkcs11;

// ---- Lifecycle ----

VEXA_PKCS11_EXPORT CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
    return guarded([&](CContext& c) { return c.initialize(pInitArgs); });
}

VEXA_PKCS11_EXPORT CK_RV C_Finalize(CK_VOID_PTR pReserved) {
    return guarded([&](CContext& c) { return c.finalize(pReserved); });
}

VEXA_PKCS11_EXPORT CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
    return guarded([&](CContext& c) { return ops::getInfo(c, pInfo); });
}

VEXA_PKCS11_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    return guarded([&](CContext& c) { return ops::getFunctionList(c, ppFunctionList); });
}

VEXA_PKCS11_EXPORT CK_RV C_WaitForSlotEvent(CK_FLAGS /*flags*/, CK_SLOT_ID_PTR /*pSlot*/,
                                            CK_VOID_PTR /*pReserved*/) {
    return guarded([](CContext& c) { return ops::waitForSlotEvent(c); });
}

// ---- Slots, tokens and mechanisms. ----

VEXA_PKCS11_EXPORT CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList,
                                       CK_ULONG_PTR pulCount) {
    return operation("C_GetSlotList", [&](CContext& c) {
        return ops::getSlotList(c, tokenPresent, pSlotList, pulCount);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    return operation("C_GetSlotInfo",
                     [&](CContext& c) { return ops::getSlotInfo(c, slotID, pInfo); });
}

VEXA_PKCS11_EXPORT CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    return operation(traceOf<F::GetTokenInfo>,
                     [&](CContext& c) { return ops::getTokenInfo(c, slotID, pInfo); });
}

VEXA_PKCS11_EXPORT CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                                            CK_ULONG_PTR pulCount) {
    return operation("C_GetMechanismList", [&](CContext& c) {
        return ops::getMechanismList(c, slotID, pMechanismList, pulCount);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type,
                                            CK_MECHANISM_INFO_PTR pInfo) {
    return operation("C_GetMechanismInfo",
                     [&](CContext& c) { return ops::getMechanismInfo(c, slotID, type, pInfo); });
}

VEXA_PKCS11_EXPORT CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen,
                                     CK_UTF8CHAR_PTR pLabel) {
    return operation(traceOf<F::InitToken>, [&](CContext& c) {
        return ops::initToken(c, slotID, pPin, ulPinLen, pLabel);
    });
}

// ---- Sessions and login. ----

VEXA_PKCS11_EXPORT CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication,
                                       CK_NOTIFY Notify, CK_SESSION_HANDLE_PTR phSession) {
    return operation(traceOf<F::OpenSession>, [&](CContext& c) {
        return ops::openSession(c, slotID, flags, pApplication, Notify, phSession);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
    return operation(traceOf<F::CloseSession>,
                     [&](CContext& c) { return ops::closeSession(c, hSession); });
}

VEXA_PKCS11_EXPORT CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
    return operation(traceOf<F::CloseAllSessions>,
                     [&](CContext& c) { return ops::closeAllSessions(c, slotID); });
}

VEXA_PKCS11_EXPORT CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    return operation(traceOf<F::GetSessionInfo>,
                     [&](CContext& c) { return ops::getSessionInfo(c, hSession, pInfo); });
}

VEXA_PKCS11_EXPORT CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType,
                                 CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    return operation(traceOf<F::Login>, [&](CContext& c) {
        return ops::login(c, hSession, userType, pPin, ulPinLen);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
    return operation(traceOf<F::Logout>, [&](CContext& c) { return ops::logout(c, hSession); });
}

VEXA_PKCS11_EXPORT CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin,
                                   CK_ULONG ulPinLen) {
    return operation(traceOf<F::InitPIN>,
                     [&](CContext& c) { return ops::initPIN(c, hSession, pPin, ulPinLen); });
}

VEXA_PKCS11_EXPORT CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin,
                                  CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
    return operation(traceOf<F::SetPIN>, [&](CContext& c) {
        return ops::setPIN(c, hSession, pOldPin, ulOldLen, pNewPin, ulNewLen);
    });
}

// ---- Objects and attributes. ----

VEXA_PKCS11_EXPORT CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                                        CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phObject) {
    return operation(traceOf<F::CreateObject>, [&](CContext& c) {
        return ops::createObject(c, hSession, pTemplate, ulCount, phObject);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_CopyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                      CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                                      CK_OBJECT_HANDLE_PTR phNewObject) {
    return operation(traceOf<F::CopyObject>, [&](CContext& c) {
        return ops::copyObject(c, hSession, hObject, pTemplate, ulCount, phNewObject);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    return operation(traceOf<F::DestroyObject>,
                     [&](CContext& c) { return ops::destroyObject(c, hSession, hObject); });
}

VEXA_PKCS11_EXPORT CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                         CK_ULONG_PTR pulSize) {
    return operation(traceOf<F::GetObjectSize>, [&](CContext& c) {
        return ops::getObjectSize(c, hSession, hObject, pulSize);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                             CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return operation(traceOf<F::GetAttributeValue>, [&](CContext& c) {
        return ops::getAttributeValue(c, hSession, hObject, pTemplate, ulCount);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                             CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return operation(traceOf<F::SetAttributeValue>, [&](CContext& c) {
        return ops::setAttributeValue(c, hSession, hObject, pTemplate, ulCount);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                                           CK_ULONG ulCount) {
    return operation(traceOf<F::FindObjectsInit>, [&](CContext& c) {
        return ops::findObjectsInit(c, hSession, pTemplate, ulCount);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                                       CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount) {
    return operation(traceOf<F::FindObjects>, [&](CContext& c) {
        return ops::findObjects(c, hSession, phObject, ulMaxObjectCount, pulObjectCount);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    return operation(traceOf<F::FindObjectsFinal>,
                     [&](CContext& c) { return ops::findObjectsFinal(c, hSession); });
}

// ---- Cryptographic operations. ----

VEXA_PKCS11_EXPORT CK_RV C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                       CK_OBJECT_HANDLE hKey) {
    return operation(traceOf<F::EncryptInit>,
                     [&](CContext& c) { return ops::encryptInit(c, hSession, pMechanism, hKey); });
}

VEXA_PKCS11_EXPORT CK_RV C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData,
                                   CK_ULONG ulDataLen, CK_BYTE_PTR pEncryptedData,
                                   CK_ULONG_PTR pulEncryptedDataLen) {
    return operation(traceOf<F::Encrypt>, [&](CContext& c) {
        return ops::encrypt(c, hSession, pData, ulDataLen, pEncryptedData, pulEncryptedDataLen);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_EncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                                         CK_ULONG ulPartLen, CK_BYTE_PTR pEncryptedPart,
                                         CK_ULONG_PTR pulEncryptedPartLen) {
    return operation(traceOf<F::EncryptUpdate>, [&](CContext& c) {
        return ops::encryptUpdate(c, hSession, pPart, ulPartLen, pEncryptedPart,
                                  pulEncryptedPartLen);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_EncryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart,
                                        CK_ULONG_PTR pulLastEncryptedPartLen) {
    return operation(traceOf<F::EncryptFinal>, [&](CContext& c) {
        return ops::encryptFinal(c, hSession, pLastEncryptedPart, pulLastEncryptedPartLen);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                       CK_OBJECT_HANDLE hKey) {
    return operation(traceOf<F::DecryptInit>,
                     [&](CContext& c) { return ops::decryptInit(c, hSession, pMechanism, hKey); });
}

VEXA_PKCS11_EXPORT CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData,
                                   CK_ULONG ulEncryptedDataLen, CK_BYTE_PTR pData,
                                   CK_ULONG_PTR pulDataLen) {
    return operation(traceOf<F::Decrypt>, [&](CContext& c) {
        return ops::decrypt(c, hSession, pEncryptedData, ulEncryptedDataLen, pData, pulDataLen);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                                         CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart,
                                         CK_ULONG_PTR pulPartLen) {
    return operation(traceOf<F::DecryptUpdate>, [&](CContext& c) {
        return ops::decryptUpdate(c, hSession, pEncryptedPart, ulEncryptedPartLen, pPart,
                                  pulPartLen);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_DecryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart,
                                        CK_ULONG_PTR pulLastPartLen) {
    return operation(traceOf<F::DecryptFinal>, [&](CContext& c) {
        return ops::decryptFinal(c, hSession, pLastPart, pulLastPartLen);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
    return operation(traceOf<F::DigestInit>,
                     [&](CContext& c) { return ops::digestInit(c, hSession, pMechanism); });
}

VEXA_PKCS11_EXPORT CK_RV C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                                  CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
    return operation("C_Digest", [&](CContext& c) {
        return ops::digest(c, hSession, pData, ulDataLen, pDigest, pulDigestLen);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                                        CK_ULONG ulPartLen) {
    return operation(traceOf<F::DigestUpdate>,
                     [&](CContext& c) { return ops::digestUpdate(c, hSession, pPart, ulPartLen); });
}

VEXA_PKCS11_EXPORT CK_RV C_DigestKey(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey) {
    return operation(traceOf<F::DigestKey>,
                     [&](CContext& c) { return ops::digestKey(c, hSession, hKey); });
}

VEXA_PKCS11_EXPORT CK_RV C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest,
                                       CK_ULONG_PTR pulDigestLen) {
    return operation(traceOf<F::DigestFinal>, [&](CContext& c) {
        return ops::digestFinal(c, hSession, pDigest, pulDigestLen);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                    CK_OBJECT_HANDLE hKey) {
    return operation(traceOf<F::SignInit>,
                     [&](CContext& c) { return ops::signInit(c, hSession, pMechanism, hKey); });
}

VEXA_PKCS11_EXPORT CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                                CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return operation(traceOf<F::Sign>, [&](CContext& c) {
        return ops::sign(c, hSession, pData, ulDataLen, pSignature, pulSignatureLen);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                                      CK_ULONG ulPartLen) {
    return operation(traceOf<F::SignUpdate>,
                     [&](CContext& c) { return ops::signUpdate(c, hSession, pPart, ulPartLen); });
}

VEXA_PKCS11_EXPORT CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                                     CK_ULONG_PTR pulSignatureLen) {
    return operation(traceOf<F::SignFinal>, [&](CContext& c) {
        return ops::signFinal(c, hSession, pSignature, pulSignatureLen);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                      CK_OBJECT_HANDLE hKey) {
    return operation(traceOf<F::VerifyInit>,
                     [&](CContext& c) { return ops::verifyInit(c, hSession, pMechanism, hKey); });
}

VEXA_PKCS11_EXPORT CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                                  CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    return operation(traceOf<F::Verify>, [&](CContext& c) {
        return ops::verify(c, hSession, pData, ulDataLen, pSignature, ulSignatureLen);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                                        CK_ULONG ulPartLen) {
    return operation(traceOf<F::VerifyUpdate>,
                     [&](CContext& c) { return ops::verifyUpdate(c, hSession, pPart, ulPartLen); });
}

VEXA_PKCS11_EXPORT CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                                       CK_ULONG ulSignatureLen) {
    return operation(traceOf<F::VerifyFinal>, [&](CContext& c) {
        return ops::verifyFinal(c, hSession, pSignature, ulSignatureLen);
    });
}

// ---- Key management and random numbers. ----

VEXA_PKCS11_EXPORT CK_RV C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                       CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                                       CK_OBJECT_HANDLE_PTR phKey) {
    return operation(traceOf<F::GenerateKey>, [&](CContext& c) {
        return ops::generateKey(c, hSession, pMechanism, pTemplate, ulCount, phKey);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                           CK_ATTRIBUTE_PTR pPublicKeyTemplate,
                                           CK_ULONG ulPublicKeyAttributeCount,
                                           CK_ATTRIBUTE_PTR pPrivateKeyTemplate,
                                           CK_ULONG ulPrivateKeyAttributeCount,
                                           CK_OBJECT_HANDLE_PTR phPublicKey,
                                           CK_OBJECT_HANDLE_PTR phPrivateKey) {
    return operation(traceOf<F::GenerateKeyPair>, [&](CContext& c) {
        return ops::generateKeyPair(c, hSession, pMechanism, pPublicKeyTemplate,
                                    ulPublicKeyAttributeCount, pPrivateKeyTemplate,
                                    ulPrivateKeyAttributeCount, phPublicKey, phPrivateKey);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                   CK_OBJECT_HANDLE hWrappingKey, CK_OBJECT_HANDLE hKey,
                                   CK_BYTE_PTR pWrappedKey, CK_ULONG_PTR pulWrappedKeyLen) {
    return operation(traceOf<F::WrapKey>, [&](CContext& c) {
        return ops::wrapKey(c, hSession, pMechanism, hWrappingKey, hKey, pWrappedKey,
                            pulWrappedKeyLen);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                     CK_OBJECT_HANDLE hUnwrappingKey, CK_BYTE_PTR pWrappedKey,
                                     CK_ULONG ulWrappedKeyLen, CK_ATTRIBUTE_PTR pTemplate,
                                     CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    return operation(traceOf<F::UnwrapKey>, [&](CContext& c) {
        return ops::unwrapKey(c, hSession, pMechanism, hUnwrappingKey, pWrappedKey, ulWrappedKeyLen,
                              pTemplate, ulAttributeCount, phKey);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                     CK_OBJECT_HANDLE hBaseKey, CK_ATTRIBUTE_PTR pTemplate,
                                     CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    return operation(traceOf<F::DeriveKey>, [&](CContext& c) {
        return ops::deriveKey(c, hSession, pMechanism, hBaseKey, pTemplate, ulAttributeCount,
                              phKey);
    });
}

VEXA_PKCS11_EXPORT CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed,
                                      CK_ULONG ulSeedLen) {
    return operation(traceOf<F::SeedRandom>,
                     [&](CContext& c) { return ops::seedRandom(c, hSession, pSeed, ulSeedLen); });
}

VEXA_PKCS11_EXPORT CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData,
                                          CK_ULONG ulRandomLen) {
    return operation(traceOf<F::GenerateRandom>, [&](CContext& c) {
        return ops::generateRandom(c, hSession, pRandomData, ulRandomLen);
    });
}

// ---- Fixed answers: no parallel functions, no operation state, no
// recovery or dual-function operations. ----

VEXA_PKCS11_EXPORT CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE) {
    return CKR_FUNCTION_NOT_PARALLEL;
}

VEXA_PKCS11_EXPORT CK_RV C_CancelFunction(CK_SESSION_HANDLE) {
    return CKR_FUNCTION_NOT_PARALLEL;
}

VEXA_PKCS11_EXPORT CK_RV C_GetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

VEXA_PKCS11_EXPORT CK_RV C_SetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG,
                                             CK_OBJECT_HANDLE, CK_OBJECT_HANDLE) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

VEXA_PKCS11_EXPORT CK_RV C_SignRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

VEXA_PKCS11_EXPORT CK_RV C_SignRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                                       CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

VEXA_PKCS11_EXPORT CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR,
                                             CK_OBJECT_HANDLE) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

VEXA_PKCS11_EXPORT CK_RV C_VerifyRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                                         CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

VEXA_PKCS11_EXPORT CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG,
                                               CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

VEXA_PKCS11_EXPORT CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG,
                                               CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

VEXA_PKCS11_EXPORT CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                                             CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

VEXA_PKCS11_EXPORT CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG,
                                               CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
