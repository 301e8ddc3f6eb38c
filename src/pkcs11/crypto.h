// Cryptographic operations: encryption, decryption, digests, signatures and
// their verification, in one part or in several. The callers have logged
// the function's name (where it has a TRACE line) and checked that the
// module is initialised.
#pragma once

#include <p11-kit/pkcs11.h>

#include "pkcs11/context.h"

namespace vexa::pkcs11 {

CK_RV encryptInit(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                  CK_OBJECT_HANDLE hKey);
CK_RV encrypt(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
              CK_BYTE_PTR pEncryptedData, CK_ULONG_PTR pulEncryptedDataLen);
CK_RV encryptUpdate(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                    CK_ULONG ulPartLen, CK_BYTE_PTR pEncryptedPart,
                    CK_ULONG_PTR pulEncryptedPartLen);
CK_RV encryptFinal(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart,
                   CK_ULONG_PTR pulLastEncryptedPartLen);
CK_RV decryptInit(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                  CK_OBJECT_HANDLE hKey);
CK_RV decrypt(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData,
              CK_ULONG ulEncryptedDataLen, CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen);
CK_RV decryptUpdate(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                    CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen);
CK_RV decryptFinal(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart,
                   CK_ULONG_PTR pulLastPartLen);
CK_RV digestInit(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism);
CK_RV digest(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
             CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen);
CK_RV digestUpdate(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                   CK_ULONG ulPartLen);
CK_RV digestKey(CContext& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey);
CK_RV digestFinal(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest,
                  CK_ULONG_PTR pulDigestLen);
CK_RV signInit(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
               CK_OBJECT_HANDLE hKey);
CK_RV sign(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
           CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen);
CK_RV signUpdate(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                 CK_ULONG ulPartLen);
CK_RV signFinal(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                CK_ULONG_PTR pulSignatureLen);
CK_RV verifyInit(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                 CK_OBJECT_HANDLE hKey);
CK_RV verify(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
             CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen);
CK_RV verifyUpdate(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                   CK_ULONG ulPartLen);
CK_RV verifyFinal(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                  CK_ULONG ulSignatureLen);

}  // namespace vexa::pkcs11
