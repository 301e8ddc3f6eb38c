// Digests: the Init call with its mechanism in bare form, updates in
// pieces, keys, the final part, and C_Digest built from updates and the
// final part. The operation itself lives on the device.
#include "pkcs11/crypto.h"
#include "pkcs11/crypto_calls.h"
#include "pkcs11/mechanism_codec.h"

namespace vexa::pkcs11 {
namespace {

using rpc::FunctionId;

// No mechanism makes a longer digest (SHA-512).
constexpr CK_ULONG kLongestDigest = 64;

// The final step of C_Digest is a C_DigestFinal of its own, with its line.
CK_RV finalStep(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest,
                CK_ULONG_PTR pulDigestLen) {
    context.log(talvoranth::LOG_TRACE, "C_DigestFinal");
    return digestFinal(context, hSession, pDigest, pulDigestLen);
}

}  // namespace

CK_RV digestInit(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
    if (pMechanism == nullptr || !parameterConsistent(*pMechanism)) {
        return CKR_ARGUMENTS_BAD;
    }
    CDeviceCall call(FunctionId::DigestInit);
    MechanismScratch scratch;
    return sendRouted(context, call, hSession,
                      [&] { return encodeBareMechanism(call.request(), *pMechanism, scratch); });
}

CK_RV digestUpdate(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                   CK_ULONG ulPartLen) {
    if (pPart == nullptr) {
        return endOperation(context, hSession, FunctionId::DigestFinal, CKR_ARGUMENTS_BAD);
    }
    return sendInChunks(context, hSession, FunctionId::DigestUpdate, pPart, ulPartLen);
}

CK_RV digestKey(CContext& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey) {
    CDeviceCall call(FunctionId::DigestKey);
    Request& request = call.request();
    if (!CDeviceCall::setUlong(request.object, request.has_object, hKey)) {
        return CKR_ARGUMENTS_BAD;
    }
    return call.sendToSession(context, hSession);
}

// A size query sends length_only and states a capacity of 0, so that a
// device reading either field answers with the length alone and keeps the
// operation; a buffer sends its capacity. Without a length pointer nothing
// can be reported: CKR_ARGUMENTS_BAD, and the operation ends.
CK_RV digestFinal(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest,
                  CK_ULONG_PTR pulDigestLen) {
    if (pulDigestLen == nullptr) {
        return endOperation(context, hSession, FunctionId::DigestFinal, CKR_ARGUMENTS_BAD);
    }
    CDeviceCall call(FunctionId::DigestFinal);
    COutput output(pDigest, pulDigestLen);
    const CK_RV rv = sendRouted(context, call, hSession,
                                [&] { return output.prepare(call, COutput::QueryCapacity::Zero); });
    return output.report(rv, call.response());
}

CK_RV digest(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
             CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
    // 1. Arguments that cannot be served end the operation.
    if (pulDigestLen == nullptr || (pData == nullptr && ulDataLen != 0)) {
        return endOperation(context, hSession, FunctionId::DigestFinal, CKR_ARGUMENTS_BAD);
    }
    // 2. A size query: the data are not sent.
    if (pDigest == nullptr) {
        return finalStep(context, hSession, nullptr, pulDigestLen);
    }
    // 3. The data in pieces, then the final step. The data reach the device
    // only once: a buffer that may be too small is measured first (a size
    // query of the final part, which keeps the operation), so that the
    // caller's retry after CKR_BUFFER_TOO_SMALL does not digest them twice.
    if (*pulDigestLen < kLongestDigest) {
        CK_ULONG needed = 0;
        if (CK_RV rv = digestFinal(context, hSession, nullptr, &needed); rv != CKR_OK) {
            return rv;
        }
        if (needed > *pulDigestLen) {
            *pulDigestLen = needed;
            return CKR_BUFFER_TOO_SMALL;
        }
    }
    if (pData != nullptr) {
        context.log(talvoranth::LOG_TRACE, "C_DigestUpdate");
        if (CK_RV rv = sendInChunks(context, hSession, FunctionId::DigestUpdate, pData, ulDataLen);
            rv != CKR_OK) {
            return rv;
        }
    }
    return finalStep(context, hSession, pDigest, pulDigestLen);
}

}  // namespace vexa::pkcs11
