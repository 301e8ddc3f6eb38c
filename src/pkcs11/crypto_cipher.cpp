// Encryption and decryption: the Init calls with their mechanism, then one
// part, updates and a final part under the output-buffer convention. The
// operation itself lives on the device.
#include "pkcs11/crypto.h"
#include "pkcs11/crypto_calls.h"
#include "pkcs11/mechanism_codec.h"

namespace vexa::pkcs11 {
namespace {

using rpc::FunctionId;

// C_EncryptInit and C_DecryptInit: the mechanism in the form its type asks
// for, and the key.
CK_RV cipherInit(CContext& context, FunctionId id, CK_SESSION_HANDLE hSession,
                 CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    CDeviceCall call(id);
    MechanismScratch scratch;
    return sendRouted(context, call, hSession, [&] {
        Request& request = call.request();
        if (!CDeviceCall::setUlong(request.object, request.has_object, hKey)) {
            return CKR_ARGUMENTS_BAD;
        }
        return encodeMechanism(context, request, *pMechanism, scratch);
    });
}

}  // namespace

CK_RV encryptInit(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                  CK_OBJECT_HANDLE hKey) {
    if (pMechanism == nullptr) {
        context.log(talvoranth::LOG_DEBUG, "C_EncryptInit invalid params - mechanism is NULL.");
        return CKR_ARGUMENTS_BAD;
    }
    if (!parameterConsistent(*pMechanism)) {
        context.log(talvoranth::LOG_DEBUG,
                    "C_EncryptInit invalid params - mechanism is NULL but param len is not null.");
        return CKR_ARGUMENTS_BAD;
    }
    return cipherInit(context, FunctionId::EncryptInit, hSession, pMechanism, hKey);
}

CK_RV decryptInit(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                  CK_OBJECT_HANDLE hKey) {
    if (pMechanism == nullptr || !parameterConsistent(*pMechanism)) {
        return CKR_ARGUMENTS_BAD;
    }
    return cipherInit(context, FunctionId::DecryptInit, hSession, pMechanism, hKey);
}

CK_RV encrypt(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
              CK_BYTE_PTR pEncryptedData, CK_ULONG_PTR pulEncryptedDataLen) {
    return processData(context, hSession, FunctionId::Encrypt, pData, ulDataLen, pEncryptedData,
                       pulEncryptedDataLen);
}

CK_RV encryptUpdate(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                    CK_ULONG ulPartLen, CK_BYTE_PTR pEncryptedPart,
                    CK_ULONG_PTR pulEncryptedPartLen) {
    return processData(context, hSession, FunctionId::EncryptUpdate, pPart, ulPartLen,
                       pEncryptedPart, pulEncryptedPartLen);
}

CK_RV encryptFinal(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart,
                   CK_ULONG_PTR pulLastEncryptedPartLen) {
    return processData(context, hSession, FunctionId::EncryptFinal, nullptr, 0, pLastEncryptedPart,
                       pulLastEncryptedPartLen);
}

CK_RV decrypt(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData,
              CK_ULONG ulEncryptedDataLen, CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
    return processData(context, hSession, FunctionId::Decrypt, pEncryptedData, ulEncryptedDataLen,
                       pData, pulDataLen);
}

CK_RV decryptUpdate(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                    CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
    return processData(context, hSession, FunctionId::DecryptUpdate, pEncryptedPart,
                       ulEncryptedPartLen, pPart, pulPartLen);
}

CK_RV decryptFinal(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart,
                   CK_ULONG_PTR pulLastPartLen) {
    return processData(context, hSession, FunctionId::DecryptFinal, nullptr, 0, pLastPart,
                       pulLastPartLen);
}

}  // namespace vexa::pkcs11
