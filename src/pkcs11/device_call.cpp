#include "pkcs11/device_call.h"

#include "rpc/ulong_wire.h"

namespace vexa::pkcs11 {

CDeviceCall::CDeviceCall(rpc::FunctionId id) {
    const rpc::FunctionInfo* info = rpc::findFunction(static_cast<uint32_t>(id));
    request_.function_id = static_cast<uint32_t>(id);
    // Functions that bind output routines keep their bindings through decoding.
    clear_ = info == nullptr || info->clear;
}

void CDeviceCall::setData(const void* bytes, size_t length) {
    data_ = rpc::ByteInput{bytes, length};
    rpc::bindInput(request_.data, data_);
}

void CDeviceCall::setData2(const void* bytes, size_t length) {
    data2_ = rpc::ByteInput{bytes, length};
    rpc::bindInput(request_.data2, data2_);
}

bool CDeviceCall::setUlong(uint32_t& field, bool& present, CK_ULONG value) {
    if (!rpc::ulongToWire(value, field)) {
        return false;
    }
    present = true;
    return true;
}

CK_RV CDeviceCall::sendToSlot(CContext& context, CK_SLOT_ID slotId) {
    int32_t slot = -1;
    if (CK_RV rv = context.routeSlot(slotId, slot); rv != CKR_OK) {
        return rv;
    }
    return context.callFunction(slot, request_, response_, clear_);
}

CK_RV CDeviceCall::sendToSession(CContext& context, CK_SESSION_HANDLE session, int32_t* slot) {
    int32_t routed = -1;
    if (CK_RV rv = context.bindSession(request_, session, routed); rv != CKR_OK) {
        return rv;
    }
    if (slot != nullptr) {
        *slot = routed;
    }
    return context.callFunction(routed, request_, response_, clear_);
}

CK_RV CDeviceCall::sendToSessionForKeyGeneration(CContext& context, CK_SESSION_HANDLE session) {
    int32_t routed = -1;
    if (CK_RV rv = context.bindSession(request_, session, routed); rv != CKR_OK) {
        return rv;
    }
    return context.callFunctionForKeyGeneration(routed, request_, response_, clear_);
}

}  // namespace vexa::pkcs11
