// Objects and attributes: create, copy, destroy, size, attribute values and
// search. The callers have logged the function's name and checked that the
// module is initialised.
#pragma once

#include <p11-kit/pkcs11.h>

#include "pkcs11/context.h"

namespace vexa::pkcs11 {

CK_RV createObject(CContext& context, CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                   CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phObject);
CK_RV copyObject(CContext& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                 CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phNewObject);
CK_RV destroyObject(CContext& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject);
CK_RV getObjectSize(CContext& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                    CK_ULONG_PTR pulSize);
CK_RV getAttributeValue(CContext& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                        CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount);
CK_RV setAttributeValue(CContext& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                        CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount);
CK_RV findObjectsInit(CContext& context, CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                      CK_ULONG ulCount);
CK_RV findObjects(CContext& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                  CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount);
CK_RV findObjectsFinal(CContext& context, CK_SESSION_HANDLE hSession);

}  // namespace vexa::pkcs11
