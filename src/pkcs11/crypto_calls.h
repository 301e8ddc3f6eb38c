// The steps that the cryptographic operations share: routing a request by
// session before its mechanism is encoded, the output-buffer convention,
// the single-part / update / final exchange of encryption and decryption,
// and long update data cut into pieces.
#pragma once

#include <p11-kit/pkcs11.h>

#include "pkcs11/device_call.h"
#include "rpc/byte_fields.h"
#include "rpc/function_ids.h"

namespace vexa::pkcs11 {

// Update data go in pieces of at most this many bytes: with the request's
// other fields a piece stays below the 2048-byte request limit.
constexpr CK_ULONG kUpdatePiece = 2000;

// Routes `call` by session, then lets fill() complete the request, then
// sends it. An unknown session is answered before fill() runs; a refusal of
// fill() (anything but CKR_OK) is returned and nothing is sent.
template <class Fill>
CK_RV sendRouted(CContext& context, CDeviceCall& call, CK_SESSION_HANDLE hSession, Fill&& fill) {
    int32_t slot = -1;
    if (CK_RV rv = context.bindSession(call.request(), hSession, slot); rv != CKR_OK) {
        return rv;
    }
    if (CK_RV rv = fill(); rv != CKR_OK) {
        return rv;
    }
    const rpc::FunctionInfo* info = rpc::findFunction(call.request().function_id);
    return context.callFunction(slot, call.request(), call.response(),
                                info == nullptr || info->clear);
}

// The output-buffer convention of the functions that return bytes:
//   request   out_capacity = *pulOutLen when the length pointer is given
//             (a size query states the capacity its QueryCapacity says);
//             length_only = true when the output pointer is null
//   response  Response.data straight into pOut, refused beyond *pulOutLen
//   after     *pulOutLen = the bytes received by a successful call,
//             else the device's `length`, else unchanged
// The length is never taken from a reply that failed to arrive or decode.
class COutput {
public:
    COutput(CK_BYTE_PTR pOut, CK_ULONG_PTR pulOutLen) : pOut_(pOut), pulOutLen_(pulOutLen) {}

    // What a size query (null pOut) states as out_capacity besides
    // length_only.
    enum class QueryCapacity {
        Caller,  // the caller's *pulOutLen
        Zero,    // 0: a device that reads only the capacity answers with the
                 // length alone (CKR_BUFFER_TOO_SMALL) and ends nothing
    };

    // Fills the request's size fields and binds Response.data to pOut with
    // the capacity *pulOutLen (0 without a length pointer).
    // CKR_ARGUMENTS_BAD when *pulOutLen cannot be carried.
    CK_RV prepare(CDeviceCall& call, QueryCapacity query = QueryCapacity::Caller);
    // Writes *pulOutLen from the answer; returns rv. A size query answered
    // with CKR_BUFFER_TOO_SMALL and a length has its answer: CKR_OK.
    CK_RV report(CK_RV rv, const Response& response) const;

    size_t received() const { return output_.received; }

private:
    CK_BYTE_PTR pOut_;
    CK_ULONG_PTR pulOutLen_;
    rpc::ByteOutput output_;
};

// Encryption and decryption in one part, an update or the final part: one
// exchange under the output-buffer convention. A null pIn sends no data;
// with a nonzero ulInLen it is refused (CKR_ARGUMENTS_BAD), and so is a
// null length pointer; a refusal ends the operation on the device. Input
// longer than one request goes as several updates (and, for a single
// part, the final part).
CK_RV processData(CContext& context, CK_SESSION_HANDLE hSession, rpc::FunctionId id,
                  CK_BYTE_PTR pIn, CK_ULONG ulInLen, CK_BYTE_PTR pOut, CK_ULONG_PTR pulOutLen);

// Ends the session's active operation on the device after the module
// refused a call locally, as PKCS#11 has every failing call but
// CKR_BUFFER_TOO_SMALL end it: the final part of the operation (`finalId`:
// EncryptFinal, DecryptFinal, SignFinal, VerifyFinal or DigestFinal) with
// its output thrown away. Returns `refusal`; the device's answer does not
// matter (an operation that was not active stays so).
CK_RV endOperation(CContext& context, CK_SESSION_HANDLE hSession, rpc::FunctionId finalId,
                   CK_RV refusal);

// The update loop of digesting, signing and verifying: one request per
// piece of at most kUpdatePiece bytes, each routed anew; at least one
// request (empty data for a zero length). The first failing piece ends it.
CK_RV sendInChunks(CContext& context, CK_SESSION_HANDLE hSession, rpc::FunctionId id,
                   CK_BYTE_PTR pPart, CK_ULONG ulPartLen);

}  // namespace vexa::pkcs11
