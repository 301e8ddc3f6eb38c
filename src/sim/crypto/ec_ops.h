// Elliptic-curve signing (ECDSA on a given hash or with hashing, the
// signature as r || s) and key agreement (ECDH with CKD_NULL).
#pragma once

#include <memory>

#include "sim/crypto/mechanisms.h"
#include "sim/crypto/operation.h"
#include "sim/crypto/rng.h"
#include "sim/objects/object.h"

namespace vexa::sim::crypto {

Rv makeEcdsaSigner(const MechanismInfo& m, const Object& key, bool sign, Rng rng,
                   std::unique_ptr<SignOperation>* out);

// The shared secret of a private key and the other party's public point
// (bare or DER-wrapped): the x coordinate, as many bytes as the field.
// CKR_MECHANISM_PARAM_INVALID for a point that is not on the key's curve.
Rv ecdhSharedSecret(const Object& privateKey, ByteView peerPoint, Rng rng, Bytes* secret);

}  // namespace vexa::sim::crypto
