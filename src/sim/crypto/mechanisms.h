// The mechanisms the virtual device implements: one table that says, for
// each, which operations it serves, how, and with which key type. A
// mechanism that is not in the table answers CKR_MECHANISM_INVALID.
#pragma once

#include <cstdint>

#include <mbedtls/md.h>

#include "sim/types/device_types.h"
#include "sim/objects/attribute.h"

namespace vexa::sim::crypto {

enum OpFlag : uint16_t {
    kOpEncrypt = 1 << 0,
    kOpDecrypt = 1 << 1,
    kOpSign = 1 << 2,
    kOpVerify = 1 << 3,
    kOpDigest = 1 << 4,
    kOpGenerate = 1 << 5,
    kOpGeneratePair = 1 << 6,
    kOpWrap = 1 << 7,
    kOpUnwrap = 1 << 8,
    kOpDerive = 1 << 9,
};

enum class Family : uint8_t {
    Digest,
    Hmac,
    Cmac,
    RsaPkcs,  // PKCS#1 v1.5 on caller-formatted data
    RsaX509,  // raw RSA
    RsaOaep,
    RsaPss,       // PSS on a caller-computed hash
    RsaPkcsHash,  // hash, then PKCS#1 v1.5
    RsaPssHash,   // hash, then PSS
    Ecdsa,        // on a caller-computed hash
    EcdsaHash,    // hash, then ECDSA
    AesEcb,
    AesCbc,
    AesCbcPad,
    AesCtr,
    AesKeyWrap,
    Des3Ecb,
    Des3Cbc,
    Des3CbcPad,
    DesEcb,
    DesCbc,
    DesCbcPad,
    Dsa,      // on a caller-computed hash
    DsaHash,  // hash, then DSA
    RsaKeyGen,
    EcKeyGen,
    AesKeyGen,
    Des3KeyGen,
    DesKeyGen,
    DsaKeyGen,
    DhKeyGen,
    DsaParameterGen,
    DhParameterGen,
    DhDerive,
    EncryptDataEcb,  // a key from data encrypted under the base key
    EncryptDataCbc,
    GenericKeyGen,
    Ecdh,
};

struct MechanismInfo {
    uint32_t type;
    uint16_t ops;
    Family family;
    uint32_t keyType;        // the key type it works with; unused for digests and generation
    mbedtls_md_type_t hash;  // the hash of digest, HMAC and hash-and-sign mechanisms
};

// The entry of a mechanism, or nullptr.
const MechanismInfo* findMechanism(uint32_t type);

// The entry of `type` when it serves `op`: CKR_MECHANISM_INVALID otherwise.
Rv mechanismFor(uint32_t type, OpFlag op, const MechanismInfo** out);

// mbedTLS hash of a PKCS#11 hash mechanism (CKM_SHA256) or MGF (CKG_MGF1_SHA256);
// MBEDTLS_MD_NONE when unknown.
mbedtls_md_type_t hashOfMechanism(uint32_t ckm);
mbedtls_md_type_t hashOfMgf(uint32_t ckg);

// Reads the `count` leading CK_ULONG fields of a parameter block in the
// device's layout: each a little-endian uint32, no padding. Exactly `extra`
// bytes must follow (read by the caller). False when the size differs: a
// block in the host's 64-bit layout is refused like any other wrong size.
bool readUlongs(const Bytes& block, size_t count, size_t extra, uint32_t* out);

// The parameter bytes of a mechanism (empty when none came).
const Bytes& parameterOf(const DeviceMechanism& m);

}  // namespace vexa::sim::crypto
