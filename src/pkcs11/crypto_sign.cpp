// Signing and verification: the Init calls (SignVerifyInit), one-part
// signing with its fixed length answer, updates in pieces, and the final
// parts. The operation itself lives on the device.
#include <cstring>
#include <optional>
#include <vector>

#include "pkcs11/crypto.h"
#include "pkcs11/crypto_calls.h"
#include "pkcs11/mechanism_codec.h"

namespace vexa::pkcs11 {
namespace {

using rpc::FunctionId;

// C_Sign answers a size query with this length without asking the device:
// room for the largest signature it makes (RSA 4096).
constexpr CK_ULONG kSignatureLengthAnswer = 512;

// C_SignInit and C_VerifyInit: the mechanism in generic form, whatever its
// type, and the key. Device refusals are logged at INFO.
CK_RV signVerifyInit(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                     CK_OBJECT_HANDLE hKey, bool sign) {
    if (pMechanism == nullptr || !parameterConsistent(*pMechanism)) {
        return CKR_ARGUMENTS_BAD;
    }
    if (sign) {
        context.heldSignatures().drop(hSession);  // a new operation owes nothing
    }
    CDeviceCall call(sign ? FunctionId::SignInit : FunctionId::VerifyInit);
    MechanismScratch scratch;
    bool sent = false;
    const CK_RV rv = sendRouted(context, call, hSession, [&] {
        logMechanism(context, "", pMechanism->mechanism);
        Request& request = call.request();
        if (!CDeviceCall::setUlong(request.object, request.has_object, hKey)) {
            return CKR_ARGUMENTS_BAD;
        }
        const CK_RV encoded = encodeGenericMechanism(request, *pMechanism, scratch);
        sent = encoded == CKR_OK;
        return encoded;
    });
    if (sent && rv != CKR_OK) {
        context.log(talvoranth::LOG_INFO, "SignVerifyInit returned 0x%lx", rv);
    }
    return rv;
}

// A signature held from a final step whose buffer was too small: the
// answer of the application's retry (or size query), and the end of the
// operation once it is taken. Nothing when the session holds none.
std::optional<CK_RV> takeHeld(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                              CK_ULONG_PTR pulSignatureLen) {
    const std::optional<std::vector<uint8_t>> held = context.heldSignatures().find(hSession);
    if (!held) {
        return std::nullopt;
    }
    const CK_ULONG room = *pulSignatureLen;
    *pulSignatureLen = held->size();
    if (pSignature == nullptr) {
        return CKR_OK;
    }
    if (room < held->size()) {
        return CKR_BUFFER_TOO_SMALL;
    }
    std::memcpy(pSignature, held->data(), held->size());
    context.heldSignatures().drop(hSession);
    return CKR_OK;
}

// C_Sign of more data than one request holds: updates, then the final
// part.
CK_RV signInPieces(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData,
                   CK_ULONG ulDataLen, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    if (CK_RV rv = sendInChunks(context, hSession, FunctionId::SignUpdate, pData, ulDataLen);
        rv != CKR_OK) {
        return rv;
    }
    return signFinal(context, hSession, pSignature, pulSignatureLen);
}

}  // namespace

CK_RV signInit(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
               CK_OBJECT_HANDLE hKey) {
    return signVerifyInit(context, hSession, pMechanism, hKey, true);
}

CK_RV verifyInit(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                 CK_OBJECT_HANDLE hKey) {
    return signVerifyInit(context, hSession, pMechanism, hKey, false);
}

CK_RV sign(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
           CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    if (pulSignatureLen == nullptr || (pData == nullptr && ulDataLen != 0)) {
        return endOperation(context, hSession, FunctionId::SignFinal, CKR_ARGUMENTS_BAD);
    }
    if (std::optional<CK_RV> rv = takeHeld(context, hSession, pSignature, pulSignatureLen)) {
        return *rv;
    }
    if (pSignature == nullptr) {
        *pulSignatureLen = kSignatureLengthAnswer;
        return CKR_OK;
    }
    if (ulDataLen > kUpdatePiece) {
        return signInPieces(context, hSession, pData, ulDataLen, pSignature, pulSignatureLen);
    }
    // Data that fit go in one request.
    CDeviceCall call(FunctionId::Sign);
    COutput output(pSignature, pulSignatureLen);
    const CK_RV rv = sendRouted(context, call, hSession, [&] {
        call.setData(pData, ulDataLen);
        return output.prepare(call);
    });
    return output.report(rv, call.response());
}

CK_RV signUpdate(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                 CK_ULONG ulPartLen) {
    if (pPart == nullptr) {
        return endOperation(context, hSession, FunctionId::SignFinal, CKR_ARGUMENTS_BAD);
    }
    return sendInChunks(context, hSession, FunctionId::SignUpdate, pPart, ulPartLen);
}

// The request carries the session alone, and the device answers it with
// the signature, ending the operation. So a size query (null pSignature) is
// answered without the device, like C_Sign's; and a buffer that may be too
// small for the longest signature takes it through a buffer of that size.
// A signature longer than the caller's buffer is held for the retry and
// reported as CKR_BUFFER_TOO_SMALL with its length.
CK_RV signFinal(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                CK_ULONG_PTR pulSignatureLen) {
    if (pulSignatureLen == nullptr) {
        return endOperation(context, hSession, FunctionId::SignFinal, CKR_ARGUMENTS_BAD);
    }
    if (std::optional<CK_RV> rv = takeHeld(context, hSession, pSignature, pulSignatureLen)) {
        return *rv;
    }
    if (pSignature == nullptr) {
        *pulSignatureLen = kSignatureLengthAnswer;
        return CKR_OK;
    }
    CK_BYTE scratch[kSignatureLengthAnswer];
    const bool direct = *pulSignatureLen >= kSignatureLengthAnswer;
    rpc::ByteOutput output{direct ? pSignature : scratch,
                           direct ? *pulSignatureLen : kSignatureLengthAnswer};
    CDeviceCall call(FunctionId::SignFinal);
    rpc::bindOutput(call.response().data, output);
    const CK_RV rv = sendRouted(context, call, hSession, [] { return CKR_OK; });
    if (rv != CKR_OK) {
        return rv;
    }
    if (!direct) {
        if (output.received > *pulSignatureLen) {
            context.heldSignatures().hold(hSession,
                                          std::vector<uint8_t>(scratch, scratch + output.received));
            *pulSignatureLen = output.received;
            return CKR_BUFFER_TOO_SMALL;
        }
        std::memcpy(pSignature, scratch, output.received);
    }
    *pulSignatureLen = output.received;
    return CKR_OK;
}

CK_RV verify(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
             CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    if ((pData == nullptr && ulDataLen != 0) || pSignature == nullptr) {
        return endOperation(context, hSession, FunctionId::VerifyFinal, CKR_ARGUMENTS_BAD);
    }
    // Data and signature that do not fit one request: updates, then the
    // final part with the signature.
    if (ulDataLen > kUpdatePiece || ulSignatureLen > kUpdatePiece - ulDataLen) {
        if (CK_RV rv = sendInChunks(context, hSession, FunctionId::VerifyUpdate, pData, ulDataLen);
            rv != CKR_OK) {
            return rv;
        }
        return verifyFinal(context, hSession, pSignature, ulSignatureLen);
    }
    CDeviceCall call(FunctionId::Verify);
    call.setData(pData, ulDataLen);
    call.setData2(pSignature, ulSignatureLen);
    return call.sendToSession(context, hSession);
}

CK_RV verifyUpdate(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                   CK_ULONG ulPartLen) {
    if (pPart == nullptr && ulPartLen != 0) {
        return endOperation(context, hSession, FunctionId::VerifyFinal, CKR_ARGUMENTS_BAD);
    }
    return sendInChunks(context, hSession, FunctionId::VerifyUpdate, pPart, ulPartLen);
}

CK_RV verifyFinal(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                  CK_ULONG ulSignatureLen) {
    if (pSignature == nullptr && ulSignatureLen != 0) {
        return endOperation(context, hSession, FunctionId::VerifyFinal, CKR_ARGUMENTS_BAD);
    }
    CDeviceCall call(FunctionId::VerifyFinal);
    call.setData(pSignature, ulSignatureLen);
    return call.sendToSession(context, hSession);
}

}  // namespace vexa::pkcs11
