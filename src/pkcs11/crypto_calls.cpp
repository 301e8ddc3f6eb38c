#include "pkcs11/crypto_calls.h"

#include <algorithm>

#include "rpc/ulong_wire.h"

namespace vexa::pkcs11 {

CK_RV COutput::prepare(CDeviceCall& call, Rules rules) {
    Request& request = call.request();
    if (pOut_ == nullptr) {
        request.has_length_only = true;
        request.length_only = true;
    }
    if (pulOutLen_ != nullptr && (pOut_ != nullptr || rules.capacityOnQuery) &&
        !CDeviceCall::setUlong(request.out_capacity, request.has_out_capacity, *pulOutLen_)) {
        return CKR_ARGUMENTS_BAD;
    }
    if (pOut_ != nullptr || rules.countOnQuery) {
        output_ = rpc::ByteOutput{pOut_, pulOutLen_ != nullptr ? *pulOutLen_ : 0};
        rpc::bindOutput(call.response().data, output_);
    }
    return CKR_OK;
}

CK_RV COutput::report(CK_RV rv, const Response& response) const {
    // A reply that did not decode may hold any length: keep the caller's.
    if (pulOutLen_ == nullptr || rv == CKR_FUNCTION_FAILED) {
        return rv;
    }
    if (rv == CKR_OK && pOut_ != nullptr) {
        // What the buffer really holds, even if the device stated otherwise:
        // a length beyond the bytes placed would send the caller reading
        // past them, or past its buffer.
        *pulOutLen_ = output_.received;
    } else if (response.has_length) {
        *pulOutLen_ = rpc::lengthFromWire(response.length);
    }
    return rv;
}

CK_RV processData(CContext& context, CK_SESSION_HANDLE hSession, rpc::FunctionId id,
                  CK_BYTE_PTR pIn, CK_ULONG ulInLen, CK_BYTE_PTR pOut, CK_ULONG_PTR pulOutLen) {
    // Sending no data in place of the length claimed would encrypt or
    // decrypt something else than the caller asked for, and report success.
    if (pIn == nullptr && ulInLen != 0) {
        return CKR_ARGUMENTS_BAD;
    }
    CDeviceCall call(id);
    COutput output(pOut, pulOutLen);
    const CK_RV rv = sendRouted(context, call, hSession, [&] {
        if (pIn != nullptr) {
            call.setData(pIn, ulInLen);
        }
        return output.prepare(call);
    });
    return output.report(rv, call.response());
}

CK_RV sendInChunks(CContext& context, CK_SESSION_HANDLE hSession, rpc::FunctionId id,
                   CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    CK_ULONG offset = 0;
    do {
        const CK_ULONG piece = std::min(ulPartLen - offset, kUpdatePiece);
        CDeviceCall call(id);
        call.setData(pPart != nullptr ? pPart + offset : nullptr, piece);
        if (CK_RV rv = call.sendToSession(context, hSession); rv != CKR_OK) {
            return rv;
        }
        offset += piece;
    } while (offset < ulPartLen);
    return CKR_OK;
}

}  // namespace vexa::pkcs11
