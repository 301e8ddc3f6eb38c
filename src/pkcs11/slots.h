// Slots, tokens and mechanisms. Slot information and the mechanism tables
// are answered by the module; token information and token initialisation
// go to the slot's device. The callers have logged the function's name and
// checked that the module is initialised.
#pragma once

#include <p11-kit/pkcs11.h>

#include "pkcs11/context.h"

namespace vexa::pkcs11 {

CK_RV getSlotList(CContext& context, CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList,
                  CK_ULONG_PTR pulCount);
CK_RV getSlotInfo(CContext& context, CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo);
CK_RV getTokenInfo(CContext& context, CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo);
CK_RV getMechanismList(CContext& context, CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                       CK_ULONG_PTR pulCount);
CK_RV getMechanismInfo(CContext& context, CK_SLOT_ID slotID, CK_MECHANISM_TYPE type,
                       CK_MECHANISM_INFO_PTR pInfo);
CK_RV initToken(CContext& context, CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen,
                CK_UTF8CHAR_PTR pLabel);

}  // namespace vexa::pkcs11
