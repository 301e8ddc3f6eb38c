// Key generation, wrapping, unwrapping and derivation: new keys are built
// under the object store's rules (Origin Generate, Unwrap, Derive) and
// stored with the caller's access rights.
#pragma once

#include "sim/crypto/rng.h"
#include "sim/types/device_types.h"
#include "sim/objects/object_store.h"

namespace vexa::sim::crypto {

// RSA moduli the device generates: 1024 bits up to this limit.
constexpr uint32_t kMinRsaBits = 1024;

Rv generateKey(ObjectStore& store, const Access& who, const DeviceMechanism& dm,
               const Template& tmpl, Rng rng, uint32_t* handle);

Rv generateKeyPair(ObjectStore& store, const Access& who, const DeviceMechanism& dm,
                   const Template& publicTemplate, const Template& privateTemplate, Rng rng,
                   uint32_t maxRsaBits, uint32_t* publicHandle, uint32_t* privateHandle);

// The value of secret key `key` encrypted under `wrappingKey`.
Rv wrapKey(const ObjectStore& store, const Access& who, const DeviceMechanism& dm,
           uint32_t wrappingKey, uint32_t key, Rng rng, Bytes* wrapped);

// A new secret key from its value encrypted under `unwrappingKey`.
Rv unwrapKey(ObjectStore& store, const Access& who, const DeviceMechanism& dm,
             uint32_t unwrappingKey, ByteView wrapped, const Template& tmpl, Rng rng,
             uint32_t* handle);

// A new secret key from a key agreement (CKM_ECDH1_DERIVE with CKD_NULL).
Rv deriveKey(ObjectStore& store, const Access& who, const DeviceMechanism& dm, uint32_t baseKey,
             const Template& tmpl, Rng rng, uint32_t* handle);

}  // namespace vexa::sim::crypto
