// One device request of a PKCS#11 function: the request and response
// structures, the byte strings it sends, and its row of the call table
// (clear flag, routing). The families fill the request, bind their outputs,
// then send it the way the row routes it: sending a call the other way is a
// programming error (std::logic_error, CKR_FUNCTION_FAILED at the export).
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>

#include "pkcs11/context.h"
#include "rpc/byte_fields.h"
#include "rpc/function_ids.h"
#include "vexa.pb.h"

namespace vexa::pkcs11 {

class CDeviceCall {
public:
    // `id` must have a row in the call table (std::logic_error otherwise).
    explicit CDeviceCall(rpc::FunctionId id);
    CDeviceCall(const CDeviceCall&) = delete;
    CDeviceCall& operator=(const CDeviceCall&) = delete;

    Request& request() { return request_; }
    Response& response() { return response_; }
    // The call table's clear flag of this call's id.
    bool clear() const { return info_.clear; }
    // Throws std::logic_error unless the call table routes this id so.
    void requireRouting(rpc::Routing routing) const;

    // `data` and `data2`: exactly these bytes (empty when length is 0). The
    // bytes must stay valid until the call is sent.
    void setData(const void* bytes, size_t length);
    void setData2(const void* bytes, size_t length);
    // A CK_ULONG into a uint32 field of the request: false when it cannot be
    // carried (the caller answers CKR_ARGUMENTS_BAD before sending).
    static bool setUlong(uint32_t& field, bool& present, CK_ULONG value);

    // Routed by slot (no session field): CKR_SLOT_ID_INVALID for a slot that
    // does not exist, else the response's rv.
    CK_RV sendToSlot(CContext& context, CK_SLOT_ID slotId);
    // Routed by session: CKR_SESSION_HANDLE_INVALID for an unknown handle,
    // else the response's rv. *slot receives the session's slot when given.
    CK_RV sendToSession(CContext& context, CK_SESSION_HANDLE session, int32_t* slot = nullptr);
    // The same, under the key-generation time limit.
    CK_RV sendToSessionForKeyGeneration(CContext& context, CK_SESSION_HANDLE session);

private:
    Request request_ = Request_init_zero;
    Response response_ = Response_init_zero;
    rpc::ByteInput data_;
    rpc::ByteInput data2_;
    const rpc::FunctionInfo& info_;
};

}  // namespace vexa::pkcs11
