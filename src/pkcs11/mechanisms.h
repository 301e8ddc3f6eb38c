// The mechanisms the devices offer: the list that C_GetMechanismList gives
// (the same for every slot) and the information that C_GetMechanismInfo
// gives, which also covers a few types outside the list.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <optional>

namespace vexa::pkcs11 {

// The 58 mechanism types of the list, in its order.
const CK_MECHANISM_TYPE* mechanismList(size_t& count);

// Key sizes and flags of a mechanism; nothing for a type the devices do
// not know. RSA key-pair generation stops at 2048 bits on a Dorvik device.
std::optional<CK_MECHANISM_INFO> mechanismInfo(CK_MECHANISM_TYPE type, bool dorvikDevice);

}  // namespace vexa::pkcs11
