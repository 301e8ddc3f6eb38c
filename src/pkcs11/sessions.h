// Sessions and login. Sessions, login state and PINs live on the device;
// the module remembers only which slot each session handle belongs to. The
// callers have logged the function's name and checked that the module is
// initialised.
#pragma once

#include <p11-kit/pkcs11.h>

#include "pkcs11/context.h"

namespace vexa::pkcs11 {

CK_RV openSession(CContext& context, CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication,
                  CK_NOTIFY Notify, CK_SESSION_HANDLE_PTR phSession);
CK_RV closeSession(CContext& context, CK_SESSION_HANDLE hSession);
CK_RV closeAllSessions(CContext& context, CK_SLOT_ID slotID);
CK_RV getSessionInfo(CContext& context, CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo);
CK_RV login(CContext& context, CK_SESSION_HANDLE hSession, CK_USER_TYPE userType,
            CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen);
CK_RV logout(CContext& context, CK_SESSION_HANDLE hSession);
CK_RV initPIN(CContext& context, CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin,
              CK_ULONG ulPinLen);
CK_RV setPIN(CContext& context, CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin,
             CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen);

}  // namespace vexa::pkcs11
