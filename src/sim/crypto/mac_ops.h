// Message authentication codes as sign and verify operations: HMAC with
// generic secret keys, CMAC with AES keys.
#pragma once

#include <memory>

#include "sim/crypto/mechanisms.h"
#include "sim/crypto/operation.h"
#include "sim/objects/object.h"

namespace vexa::sim::crypto {

Rv makeMacSigner(const MechanismInfo& m, const Object& key, std::unique_ptr<SignOperation>* out);

}  // namespace vexa::sim::crypto
