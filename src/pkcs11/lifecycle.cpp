// C_GetFunctionList, C_GetInfo and C_WaitForSlotEvent.
#include "pkcs11/lifecycle.h"

#include "pkcs11/output_buffer.h"

namespace vexa::pkcs11 {

CK_RV getFunctionList(CContext& context, CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    context.log(talvoranth::LOG_TRACE, "C_GetFunctionList");
    if (ppFunctionList == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    // The list is constant; the standard's signature has no const.
    *ppFunctionList = const_cast<CK_FUNCTION_LIST_PTR>(&functionList());
    return CKR_OK;
}

CK_RV getInfo(CContext& context, CK_INFO_PTR pInfo) {
    if (!context.initialised()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pInfo == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    pInfo->cryptokiVersion = CK_VERSION{2, 40};
    copyPadded(pInfo->manufacturerID, "Talvoranth");
    pInfo->flags = 0;
    copyPadded(pInfo->libraryDescription, "Talvoranth PKCS11 Library");
    pInfo->libraryVersion = CK_VERSION{2, 7};
    return CKR_OK;
}

CK_RV waitForSlotEvent(CContext& context) {
    return context.initialised() ? CKR_FUNCTION_NOT_SUPPORTED : CKR_CRYPTOKI_NOT_INITIALIZED;
}

}  // namespace vexa::pkcs11
