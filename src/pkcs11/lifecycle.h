// Module information and slot events (the rest of the lifecycle,
// C_Initialize and C_Finalize, are operations of CContext itself).
#pragma once

#include <p11-kit/pkcs11.h>

#include "pkcs11/context.h"

namespace vexa::pkcs11 {

// The constant function list: version 2.40 and the 68 entry points in the
// order of the standard's CK_FUNCTION_LIST.
const CK_FUNCTION_LIST& functionList();

CK_RV getFunctionList(CContext& context, CK_FUNCTION_LIST_PTR_PTR ppFunctionList);
CK_RV getInfo(CContext& context, CK_INFO_PTR pInfo);
CK_RV waitForSlotEvent(CContext& context);

}  // namespace vexa::pkcs11
