// One device request of a PKCS#11 function: the request and response
// structures, the byte strings it sends, and the clear flag that the call
// table gives its function id. The families fill the request, bind their
// outputs, then send it by slot or by session.
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
    explicit CDeviceCall(rpc::FunctionId id);
    CDeviceCall(const CDeviceCall&) = delete;
    CDeviceCall& operator=(const CDeviceCall&) = delete;

    Request& request() { return request_; }
    Response& response() { return response_; }

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
    bool clear_;
};

}  // namespace vexa::pkcs11
