// RSA encryption, decryption, signing and verification: PKCS#1 v1.5, raw
// (X.509), OAEP and PSS, with the hash-and-sign variants.
#pragma once

#include <memory>

#include "sim/crypto/mechanisms.h"
#include "sim/crypto/operation.h"
#include "sim/crypto/rng.h"
#include "sim/objects/object.h"

namespace vexa::sim::crypto {

// `key` is the public key for encryption, the private key for decryption.
Rv makeRsaCipher(const MechanismInfo& m, const DeviceMechanism& dm, const Object& key, bool encrypt,
                 Rng rng, std::unique_ptr<CipherOperation>* out);

// `key` is the private key for signing, the public key for verifying.
Rv makeRsaSigner(const MechanismInfo& m, const DeviceMechanism& dm, const Object& key, bool sign,
                 Rng rng, std::unique_ptr<SignOperation>* out);

}  // namespace vexa::sim::crypto
