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
        return CKR_ARGUMENTS_BAD;
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

// With a length pointer: a size query sends length_only, a buffer sends its
// capacity. Without one, neither is sent and no output is taken.
CK_RV digestFinal(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest,
                  CK_ULONG_PTR pulDigestLen) {
    CDeviceCall call(FunctionId::DigestFinal);
    COutput output(pDigest, pulDigestLen);
    const CK_RV rv = sendRouted(context, call, hSession, [&] {
        return pulDigestLen != nullptr ? output.prepare(call, {false, false}) : CKR_OK;
    });
    return output.report(rv, call.response());
}

CK_RV digest(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
             CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
    // 1. No data: the digest of nothing, or a size query for it.
    if (pData == nullptr) {
        if (pDigest == nullptr && ulDataLen == 0) {
            return finalStep(context, hSession, nullptr, pulDigestLen);
        }
        // A length without data is refused, and like every failing
        // C_Digest it ends the operation.
        CK_BYTE scratch[kLongestDigest];
        CK_ULONG scratchLength = sizeof scratch;
        const CK_RV rv = pDigest != nullptr ? finalStep(context, hSession, pDigest, pulDigestLen)
                                            : finalStep(context, hSession, scratch, &scratchLength);
        return ulDataLen != 0 ? CKR_ARGUMENTS_BAD : rv;
    }
    // 2. A size query: the data are not sent.
    if (pDigest == nullptr) {
        return finalStep(context, hSession, nullptr, pulDigestLen);
    }
    // 3. The data in pieces, then the final step. The data reach the device
    // only once: a buffer that may be too small is measured first, so that
    // the caller's retry after CKR_BUFFER_TOO_SMALL does not digest them
    // twice.
    if (pulDigestLen != nullptr && *pulDigestLen < kLongestDigest) {
        CK_ULONG needed = 0;
        if (CK_RV rv = digestFinal(context, hSession, nullptr, &needed); rv != CKR_OK) {
            return rv;
        }
        if (needed > *pulDigestLen) {
            *pulDigestLen = needed;
            return CKR_BUFFER_TOO_SMALL;
        }
    }
    context.log(talvoranth::LOG_TRACE, "C_DigestUpdate");
    if (CK_RV rv = sendInChunks(context, hSession, FunctionId::DigestUpdate, pData, ulDataLen);
        rv != CKR_OK) {
        return rv;
    }
    return finalStep(context, hSession, pDigest, pulDigestLen);
}

}  // namespace vexa::pkcs11
