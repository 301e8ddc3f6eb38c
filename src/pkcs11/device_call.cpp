#include "pkcs11/device_call.h"

#include <stdexcept>
#include <string>

#include "rpc/ulong_wire.h"

namespace vexa::pkcs11 {
namespace {

const rpc::FunctionInfo& rowOf(rpc::FunctionId id) {
    const rpc::FunctionInfo* info = rpc::findFunction(static_cast<uint32_t>(id));
    if (info == nullptr) {
        throw std::logic_error("function id without a row in the call table");
    }
    return *info;
}

}  // namespace

CDeviceCall::CDeviceCall(rpc::FunctionId id) : info_(rowOf(id)) {
    request_.function_id = static_cast<uint32_t>(id);
}

void CDeviceCall::requireRouting(rpc::Routing routing) const {
    if (info_.routing != routing) {
        throw std::logic_error(std::string(info_.name) + " sent against its routing");
    }
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
    requireRouting(rpc::Routing::BySlot);
    int32_t slot = -1;
    if (CK_RV rv = context.routeSlot(slotId, slot); rv != CKR_OK) {
        return rv;
    }
    return context.callFunction(slot, request_, response_, info_.clear);
}

CK_RV CDeviceCall::sendToSession(CContext& context, CK_SESSION_HANDLE session, int32_t* slot) {
    requireRouting(rpc::Routing::BySession);
    int32_t routed = -1;
    if (CK_RV rv = context.bindSession(request_, session, routed); rv != CKR_OK) {
        return rv;
    }
    if (slot != nullptr) {
        *slot = routed;
    }
    return context.callFunction(routed, request_, response_, info_.clear);
}

CK_RV CDeviceCall::sendToSessionForKeyGeneration(CContext& context, CK_SESSION_HANDLE session) {
    requireRouting(rpc::Routing::BySession);
    int32_t routed = -1;
    if (CK_RV rv = context.bindSession(request_, session, routed); rv != CKR_OK) {
        return rv;
    }
    return context.callFunctionForKeyGeneration(routed, request_, response_, info_.clear);
}

}  // namespace vexa::pkcs11
