// C_SeedRandom and C_GenerateRandom: the device's random generator.
#include <algorithm>

#include "pkcs11/device_call.h"
#include "pkcs11/keys.h"
#include "pkcs11/output_buffer.h"

namespace vexa::pkcs11 {
namespace {

// Random data are fetched in pieces of this size, each decoded straight
// into the caller's buffer.
constexpr CK_ULONG kRandomPiece = 1024;

}  // namespace

CK_RV seedRandom(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed,
                 CK_ULONG ulSeedLen) {
    if (pSeed == nullptr || ulSeedLen == 0) {
        return CKR_ARGUMENTS_BAD;
    }
    CDeviceCall call(rpc::FunctionId::SeedRandom);
    call.setData(pSeed, ulSeedLen);
    return call.sendToSession(context, hSession);
}

CK_RV generateRandom(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData,
                     CK_ULONG ulRandomLen) {
    if (pRandomData == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    for (CK_ULONG offset = 0; offset < ulRandomLen;) {
        const CK_ULONG piece = std::min(ulRandomLen - offset, kRandomPiece);
        CDeviceCall call(rpc::FunctionId::GenerateRandom);
        // out_capacity = the piece, the bytes straight into the caller's
        // buffer; the count received is all that is reported.
        CK_ULONG room = piece;
        COutput output(pRandomData + offset, &room);
        if (CK_RV rv = output.prepare(call); rv != CKR_OK) {
            return rv;
        }
        // Each piece is routed anew.
        if (CK_RV rv = call.sendToSession(context, hSession); rv != CKR_OK) {
            return rv;
        }
        // Fewer bytes than asked would leave part of the caller's buffer
        // unfilled while reporting success.
        if (output.received() != piece) {
            context.log(talvoranth::LOG_ERROR, "random data: %zu of %lu bytes received",
                        output.received(), piece);
            return CKR_FUNCTION_FAILED;
        }
        offset += piece;
    }
    return CKR_OK;
}

}  // namespace vexa::pkcs11
