// Finite-field cryptography on mbedTLS's bignum arithmetic: DSA signatures
// (FIPS 186, on a given hash or with hashing; the signature is r || s, each
// as long as the subprime q), PKCS#3 Diffie-Hellman key agreement, and the
// generation of their domain parameters and key pairs.
#pragma once

#include <memory>

#include "sim/crypto/mechanisms.h"
#include "sim/crypto/operation.h"
#include "sim/crypto/rng.h"
#include "sim/objects/key_material.h"
#include "sim/objects/object.h"

namespace vexa::sim::crypto {

// Prime sizes the device works with: kMinFieldBits to kMaxFieldBits
// (sim/objects/key_material.h).

Rv makeDsaSigner(const MechanismInfo& m, const Object& key, bool sign, Rng rng,
                 std::unique_ptr<SignOperation>* out);

// DSA domain parameters of `primeBits` (1024: q of 160 bits; 2048: q of
// 256 bits) into CKA_PRIME, CKA_SUBPRIME and CKA_BASE of `params`.
Rv generateDsaParameters(Rng rng, uint32_t primeBits, Object* params);
// PKCS#3 parameters: a safe prime p of `primeBits` and the generator 2.
Rv generateDhParameters(Rng rng, uint32_t primeBits, Object* params);

// A key pair on the domain parameters of the public template (CKA_PRIME,
// CKA_BASE, and for DSA CKA_SUBPRIME): CKA_VALUE of both halves, the
// parameters copied to the private half.
Rv generateDsaKeyPair(Rng rng, Object* pub, Object* priv);
Rv generateDhKeyPair(Rng rng, Object* pub, Object* priv);

// y^x mod p for the private key x and the other party's public value y, as
// many bytes as p. CKR_MECHANISM_PARAM_INVALID for y outside 2..p-2.
Rv dhSharedSecret(const Object& privateKey, ByteView peerValue, Bytes* secret);

}  // namespace vexa::sim::crypto
