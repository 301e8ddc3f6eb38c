// Objects and attributes: each function checks its arguments, sends one
// request (C_GetAttributeValue may send a second for a value that did not
// fit the first reply) and copies the results out. Objects, handles and
// searches live on the device.
#include <algorithm>

#include "common/byte_order.h"
#include "pkcs11/device_call.h"
#include "pkcs11/objects.h"
#include "pkcs11/template_codec.h"
#include "rpc/ulong_wire.h"

namespace vexa::pkcs11 {
namespace {

// Handles travel as one 32-bit little-endian word each.
constexpr size_t kWireHandle = 4;

bool setObject(CDeviceCall& call, CK_OBJECT_HANDLE object) {
    return CDeviceCall::setUlong(call.request().object, call.request().has_object, object);
}

// A count or capacity beyond the wire's 32 bits asks for no more than the
// wire can say.
uint32_t clampToWire(CK_ULONG value) {
    return static_cast<uint32_t>(std::min<CK_ULONG>(value, rpc::kWireUnavailable));
}

// The calls that send a template and answer rv, maybe with a new handle.
CK_RV sendTemplate(CContext& context, rpc::FunctionId id, CK_SESSION_HANDLE hSession,
                   const CK_OBJECT_HANDLE* object, TemplateRef ref, CK_OBJECT_HANDLE_PTR phNew) {
    if (CK_RV rv = checkTemplate(ref); rv != CKR_OK) {
        return rv;
    }
    CDeviceCall call(id);
    if (object != nullptr && !setObject(call, *object)) {
        return CKR_ARGUMENTS_BAD;
    }
    if (ref.attributes != nullptr) {
        bindTemplate(call.request().template_, ref);
    }
    const CK_RV rv = call.sendToSession(context, hSession);
    if (phNew != nullptr && call.response().has_handle) {
        *phNew = rpc::ulongFromWire(call.response().handle);
    }
    return rv;
}

// One C_GetAttributeValue request for the types of `ref`; the reply's
// attributes land in `list`.
CK_RV fetchAttributes(CContext& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                      TemplateRef ref, AttributeList& list) {
    CDeviceCall call(rpc::FunctionId::GetAttributeValue);
    if (!setObject(call, hObject)) {
        return CKR_ARGUMENTS_BAD;
    }
    bindTypes(call.request().template_, ref);
    bindAttributes(call.response().attributes, list);
    return call.sendToSession(context, hSession);
}

// The device leaves a value out of a reply that would overflow it and
// states its length alone. Such a value is asked for on its own; when it
// still does not come whole the entry reads CK_UNAVAILABLE_INFORMATION and
// the call fails, since nothing beyond the received bytes is ever copied.
CK_RV refetch(CContext& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
              CK_ATTRIBUTE& attribute, CK_RV rv) {
    AttributeList single;
    const CK_RV fetched = fetchAttributes(context, hSession, hObject, {&attribute, 1}, single);
    const ReceivedAttribute* received = single.find(attribute.type);
    if (fetched == CKR_OK && received != nullptr && !received->truncated() &&
        received->hostLength() <= attribute.ulValueLen) {
        attribute.ulValueLen = received->hostLength();
        received->copyTo(attribute.pValue);
        return rv;
    }
    context.log(talvoranth::LOG_ERROR, "attribute 0x%lx did not come whole from the device",
                attribute.type);
    attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
    if (rv != CKR_OK) {
        return rv;
    }
    return fetched != CKR_OK ? fetched : CKR_FUNCTION_FAILED;
}

}  // namespace

CK_RV createObject(CContext& context, CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                   CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phObject) {
    if (pTemplate == nullptr || ulCount == 0 || phObject == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    return sendTemplate(context, rpc::FunctionId::CreateObject, hSession, nullptr,
                        {pTemplate, ulCount}, phObject);
}

CK_RV copyObject(CContext& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                 CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phNewObject) {
    if (pTemplate == nullptr || phNewObject == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    const CK_RV rv = sendTemplate(context, rpc::FunctionId::CopyObject, hSession, &hObject,
                                  {pTemplate, ulCount}, phNewObject);
    if (rv == CKR_FUNCTION_FAILED) {
        context.log(talvoranth::LOG_ERROR, "copy obj failed");
    }
    return rv;
}

CK_RV destroyObject(CContext& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    CDeviceCall call(rpc::FunctionId::DestroyObject);
    if (!setObject(call, hObject)) {
        return CKR_ARGUMENTS_BAD;
    }
    return call.sendToSession(context, hSession);
}

CK_RV getObjectSize(CContext& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                    CK_ULONG_PTR pulSize) {
    if (pulSize == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CDeviceCall call(rpc::FunctionId::GetObjectSize);
    if (!setObject(call, hObject)) {
        return CKR_ARGUMENTS_BAD;
    }
    int32_t slot = -1;
    const CK_RV rv = call.sendToSession(context, hSession, &slot);
    if (slot >= 0) {
        const Response& response = call.response();
        *pulSize = response.has_length ? rpc::lengthFromWire(response.length) : 0;
    }
    return rv;
}

CK_RV getAttributeValue(CContext& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                        CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    if (pTemplate == nullptr || ulCount == 0) {
        return CKR_ARGUMENTS_BAD;
    }
    if (CK_RV rv = checkTypes({pTemplate, ulCount}); rv != CKR_OK) {
        return rv;
    }
    AttributeList list;
    CK_RV rv = fetchAttributes(context, hSession, hObject, {pTemplate, ulCount}, list);
    // Whatever rv says, every attribute that came is handed out; the request
    // carried no buffer sizes, so the capacity checks are made here.
    for (CK_ULONG i = 0; i < ulCount; ++i) {
        CK_ATTRIBUTE& attribute = pTemplate[i];
        const ReceivedAttribute* received = list.find(attribute.type);
        if (received == nullptr) {
            continue;
        }
        const CK_ULONG length = received->hostLength();
        if (attribute.pValue == nullptr) {
            attribute.ulValueLen = length;
        } else if (attribute.ulValueLen < length) {
            attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            if (rv == CKR_OK) {
                rv = CKR_BUFFER_TOO_SMALL;
            }
        } else if (received->truncated()) {
            rv = refetch(context, hSession, hObject, attribute, rv);
        } else {
            attribute.ulValueLen = length;
            received->copyTo(attribute.pValue);
        }
    }
    return rv;
}

CK_RV setAttributeValue(CContext& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                        CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    if (pTemplate == nullptr || ulCount == 0) {
        return CKR_ARGUMENTS_BAD;
    }
    return sendTemplate(context, rpc::FunctionId::SetAttributeValue, hSession, &hObject,
                        {pTemplate, ulCount}, nullptr);
}

CK_RV findObjectsInit(CContext& context, CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                      CK_ULONG ulCount) {
    // No template matches every object.
    return sendTemplate(context, rpc::FunctionId::FindObjectsInit, hSession, nullptr,
                        {pTemplate, ulCount}, nullptr);
}

CK_RV findObjects(CContext& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                  CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount) {
    if (phObject == nullptr || ulMaxObjectCount == 0 || pulObjectCount == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CDeviceCall call(rpc::FunctionId::FindObjects);
    call.request().has_out_capacity = true;
    call.request().out_capacity = clampToWire(ulMaxObjectCount);
    AllocatedBytes found;
    bindAllocated(call.response().data, found);
    int32_t slot = -1;
    CK_RV rv = call.sendToSession(context, hSession, &slot);
    if (slot < 0) {
        return rv;
    }
    const size_t sent = found.length / kWireHandle;
    const size_t count = std::min<size_t>(sent, ulMaxObjectCount);
    for (size_t i = 0; i < count; ++i) {
        phObject[i] = rpc::ulongFromWire(common::readLe32(found.bytes.get() + i * kWireHandle));
    }
    *pulObjectCount = count;
    // Handles beyond the caller's room are lost to this search: say so
    // rather than report a complete result.
    if (sent > count) {
        context.log(talvoranth::LOG_ERROR, "C_FindObjects: %zu handles received for %lu asked",
                    sent, ulMaxObjectCount);
        if (rv == CKR_OK) {
            rv = CKR_DEVICE_ERROR;
        }
    }
    return rv;
}

CK_RV findObjectsFinal(CContext& context, CK_SESSION_HANDLE hSession) {
    CDeviceCall call(rpc::FunctionId::FindObjectsFinal);
    return call.sendToSession(context, hSession);
}

}  // namespace vexa::pkcs11
