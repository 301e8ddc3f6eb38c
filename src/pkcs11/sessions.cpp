#include "pkcs11/sessions.h"

#include <optional>

#include "pkcs11/device_call.h"
#include "rpc/ulong_wire.h"

namespace vexa::pkcs11 {

using rpc::FunctionId;

CK_RV openSession(CContext& context, CK_SLOT_ID slotID, CK_FLAGS flags,
                  CK_VOID_PTR /*pApplication*/, CK_NOTIFY /*Notify*/,
                  CK_SESSION_HANDLE_PTR phSession) {
    if ((flags & CKF_SERIAL_SESSION) == 0) {
        return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    }
    if (phSession == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    int32_t slot = -1;
    if (CK_RV rv = context.routeSlot(slotID, slot); rv != CKR_OK) {
        return rv;
    }
    CDeviceCall call(FunctionId::OpenSession);
    // Every flag bit goes to the device unchanged.
    if (!CDeviceCall::setUlong(call.request().value, call.request().has_value, flags)) {
        return CKR_ARGUMENTS_BAD;
    }
    const CK_RV rv = call.sendToSlot(context, slotID);
    if (call.response().has_handle) {
        *phSession = context.sessions().add(slot, call.response().handle, flags);
    }
    return rv;
}

CK_RV closeSession(CContext& context, CK_SESSION_HANDLE hSession) {
    const std::optional<SessionRoute> route = context.sessions().find(hSession);
    int32_t slot = route ? route->slot : -1;
    CK_RV rv = CKR_OK;
    if (slot >= 0 && !context.slots().holdsSessions(slot)) {
        // The connection that held the session has ended (the daemon handed
        // the device over and cleared it) or the device went away: nothing
        // of it is left on the device, and reconnecting (waiting for a turn
        // at the device) only to open it again and close it would be waste.
    } else {
        CDeviceCall call(FunctionId::CloseSession);
        rv = call.sendToSession(context, hSession, &slot);
    }
    if (slot < 0) {
        return rv;  // the handle is not known: nothing was sent
    }
    // Forgotten whatever the device answered. Closing the last session of
    // a slot ends the login there: its PIN is not kept any longer.
    context.sessions().remove(hSession);
    if (context.sessions().handlesOf(slot).empty()) {
        context.logins().forget(slot);
    }
    return rv;
}

CK_RV closeAllSessions(CContext& context, CK_SLOT_ID slotID) {
    int32_t slot = -1;
    if (CK_RV rv = context.routeSlot(slotID, slot); rv != CKR_OK) {
        return rv;
    }
    // "All sessions an application has with a token": this application's,
    // one C_CloseSession each. The device's own C_CloseAllSessions would end
    // the sessions (and the login) of every other application on the token
    // too. Every handle is forgotten; the first real failure is reported (a
    // session the device no longer knows is closed all the same).
    CK_RV result = CKR_OK;
    for (CK_SESSION_HANDLE handle : context.sessions().handlesOf(slot)) {
        const CK_RV rv = closeSession(context, handle);
        if (result == CKR_OK && rv != CKR_OK && rv != CKR_SESSION_HANDLE_INVALID &&
            rv != CKR_SESSION_CLOSED) {
            result = rv;
        }
    }
    return result;
}

CK_RV getSessionInfo(CContext& context, CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    if (hSession == CK_INVALID_HANDLE) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    if (pInfo == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    pInfo->flags = CKF_SERIAL_SESSION;
    pInfo->state = CKS_RO_PUBLIC_SESSION;
    pInfo->ulDeviceError = 0;
    CDeviceCall call(FunctionId::GetSessionInfo);
    int32_t slot = -1;
    const CK_RV rv = call.sendToSession(context, hSession, &slot);
    if (slot < 0) {
        return rv;  // the handle is not known: nothing was sent
    }
    pInfo->slotID = static_cast<CK_SLOT_ID>(slot);
    if (call.response().has_session_info) {
        const SessionInfo& info = call.response().session_info;
        pInfo->state = rpc::ulongFromWire(info.state);
        pInfo->flags = rpc::ulongFromWire(info.flags);
        pInfo->ulDeviceError = rpc::ulongFromWire(info.device_error);
    }
    return rv;
}

CK_RV login(CContext& context, CK_SESSION_HANDLE hSession, CK_USER_TYPE userType,
            CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    if (pPin == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CDeviceCall call(FunctionId::Login);
    // The user type is the device's to judge.
    if (!CDeviceCall::setUlong(call.request().value, call.request().has_value, userType)) {
        return CKR_ARGUMENTS_BAD;
    }
    call.setData(pPin, ulPinLen);
    int32_t slot = -1;
    const CK_RV rv = call.sendToSession(context, hSession, &slot);
    // Kept so that a new connection to the device can log in again for the
    // application (pkcs11/login_keeper.h).
    if (rv == CKR_OK && slot >= 0) {
        context.logins().remember(slot, userType, pPin, ulPinLen);
    }
    return rv;
}

CK_RV logout(CContext& context, CK_SESSION_HANDLE hSession) {
    CDeviceCall call(FunctionId::Logout);
    int32_t slot = -1;
    const CK_RV rv = call.sendToSession(context, hSession, &slot);
    // Whatever the device answered, the application means to be logged out.
    if (slot >= 0) {
        context.logins().forget(slot);
    }
    return rv;
}

CK_RV initPIN(CContext& context, CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin,
              CK_ULONG ulPinLen) {
    if (pPin == nullptr && ulPinLen != 0) {
        return CKR_ARGUMENTS_BAD;
    }
    CDeviceCall call(FunctionId::InitPIN);
    call.setData(pPin, ulPinLen);
    return call.sendToSession(context, hSession);
}

CK_RV setPIN(CContext& context, CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin,
             CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
    if (pOldPin == nullptr || pNewPin == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CDeviceCall call(FunctionId::SetPIN);
    call.setData(pOldPin, ulOldLen);
    call.setData2(pNewPin, ulNewLen);
    int32_t slot = -1;
    const CK_RV rv = call.sendToSession(context, hSession, &slot);
    // Logged in, C_SetPIN changes the logged-in user's PIN: a later login
    // again needs the new one.
    if (rv == CKR_OK && slot >= 0) {
        context.logins().replacePin(slot, pNewPin, ulNewLen);
    }
    return rv;
}

}  // namespace vexa::pkcs11
