// Keys leaving and entering the device: wrapping and unwrapping secret
// keys, and deriving a secret key from an EC or DH key agreement or by
// encrypting data under a secret key.
#include <mbedtls/des.h>
#include <mbedtls/platform_util.h>
#include <p11-kit/pkcs11.h>

#include "sim/crypto/dsa_dh_ops.h"
#include "sim/crypto/ec_ops.h"
#include "sim/crypto/engine.h"
#include "sim/crypto/key_management.h"
#include "sim/objects/key_material.h"

namespace vexa::sim::crypto {
namespace {

// The handle and type codes of the wrapping (or unwrapping) key take the
// place of the generic ones.
Rv wrappingKeyError(Rv rv, bool wrap) {
    switch (rv) {
        case CKR_KEY_HANDLE_INVALID:
            return wrap ? CKR_WRAPPING_KEY_HANDLE_INVALID : CKR_UNWRAPPING_KEY_HANDLE_INVALID;
        case CKR_KEY_TYPE_INCONSISTENT:
            return wrap ? CKR_WRAPPING_KEY_TYPE_INCONSISTENT : CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT;
        case CKR_KEY_SIZE_RANGE:
            return wrap ? CKR_WRAPPING_KEY_SIZE_RANGE : CKR_UNWRAPPING_KEY_SIZE_RANGE;
        default:
            return rv;
    }
}

// The mechanism and the key-encryption key of a wrap (`op` kOpWrap) or an
// unwrap (kOpUnwrap): the mechanism must serve `op` and the key must allow
// it, with the wrapping key's own error codes.
Rv findWrappingKey(const ObjectStore& store, const Access& who, uint32_t mechanism, OpFlag op,
                   uint32_t handle, const MechanismInfo** m, const Object** kek) {
    const Rv rv = mechanismFor(mechanism, op, m);
    if (rv != CKR_OK) {
        return rv;
    }
    *kek = store.find(who, handle);
    return wrappingKeyError(checkKey(*kek, **m, op), op == kOpWrap);
}

// Adds a class and key type to a template that lacks them.
Template withDefaults(const Template& tmpl, uint32_t cls, uint32_t keyType) {
    Template t = tmpl;
    if (findAttr(t, CKA_CLASS) == nullptr) {
        t.push_back({CKA_CLASS, ulongBytes(cls)});
    }
    if (findAttr(t, CKA_KEY_TYPE) == nullptr) {
        t.push_back({CKA_KEY_TYPE, ulongBytes(keyType)});
    }
    return t;
}

// Builds a secret key from a template and its value, and stores it.
Rv storeSecret(ObjectStore& store, const Access& who, Object key, Bytes value, Origin origin,
               uint32_t mechanism, const Object* base, uint32_t* handle) {
    key.set(CKA_VALUE, std::move(value));
    setProvenance(origin, mechanism, base, &key);
    const Rv rv = finishObject(&key);
    if (rv != CKR_OK) {
        return rv;
    }
    return store.insert(who, std::move(key), handle);
}

}  // namespace

Rv wrapKey(const ObjectStore& store, const Access& who, const DeviceMechanism& dm,
           uint32_t wrappingKey, uint32_t key, Rng rng, Bytes* wrapped) {
    const MechanismInfo* m = nullptr;
    const Object* kek = nullptr;
    Rv rv = findWrappingKey(store, who, dm.type, kOpWrap, wrappingKey, &m, &kek);
    if (rv != CKR_OK) {
        return rv;
    }
    const Object* target = store.find(who, key);
    if (target == nullptr || target->objectClass() == CKO_DATA ||
        target->objectClass() == CKO_CERTIFICATE) {
        return CKR_KEY_HANDLE_INVALID;
    }
    // Only secret keys leave the device, and only when extractable.
    if (target->objectClass() != CKO_SECRET_KEY) {
        return CKR_KEY_NOT_WRAPPABLE;
    }
    if (!target->flag(CKA_EXTRACTABLE, false)) {
        return CKR_KEY_UNEXTRACTABLE;
    }
    if (target->flag(CKA_WRAP_WITH_TRUSTED, false) && !kek->flag(CKA_TRUSTED, false)) {
        return CKR_KEY_NOT_WRAPPABLE;
    }
    std::unique_ptr<CipherOperation> cipher;
    rv = wrappingKeyError(makeCipher(*m, dm, *kek, true, rng, &cipher), true);
    if (rv != CKR_OK) {
        return rv;
    }
    rv = cipher->run(Step::Single, *target->get(CKA_VALUE), wrapped);
    return rv == CKR_DATA_LEN_RANGE ? CKR_KEY_SIZE_RANGE : rv;
}

Rv unwrapKey(ObjectStore& store, const Access& who, const DeviceMechanism& dm,
             uint32_t unwrappingKey, ByteView wrapped, const Template& tmpl, Rng rng,
             uint32_t* handle) {
    const MechanismInfo* m = nullptr;
    const Object* kek = nullptr;
    Rv rv = findWrappingKey(store, who, dm.type, kOpUnwrap, unwrappingKey, &m, &kek);
    if (rv != CKR_OK) {
        return rv;
    }
    Object key;
    rv = buildObject(tmpl, Template(), Origin::Unwrap, who.so, &key);
    if (rv != CKR_OK) {
        return rv;
    }
    if (key.objectClass() != CKO_SECRET_KEY) {
        return CKR_TEMPLATE_INCONSISTENT;  // the device unwraps secret keys only
    }
    rv = store.mayWrite(who, key.isToken(), key.isPrivate());
    if (rv != CKR_OK) {
        return rv;
    }
    std::unique_ptr<CipherOperation> cipher;
    rv = wrappingKeyError(makeCipher(*m, dm, *kek, false, rng, &cipher), false);
    if (rv != CKR_OK) {
        return rv;
    }
    Bytes value;
    rv = cipher->run(Step::Single, wrapped, &value);
    if (rv == CKR_ENCRYPTED_DATA_LEN_RANGE) {
        return CKR_WRAPPED_KEY_LEN_RANGE;
    }
    if (rv != CKR_OK) {
        return CKR_WRAPPED_KEY_INVALID;
    }
    rv = storeSecret(store, who, std::move(key), std::move(value), Origin::Unwrap, dm.type, nullptr,
                     handle);
    // A value that cannot be a key of the stated type.
    return rv == CKR_ATTRIBUTE_VALUE_INVALID ? CKR_WRAPPED_KEY_INVALID : rv;
}

namespace {

// CKM_*_ECB_ENCRYPT_DATA and CKM_*_CBC_ENCRYPT_DATA: the data encrypted
// under the base key without padding. The parameter comes in the device's
// layout: for ECB ulLen then the data; for CBC the IV (a block), length,
// then the data.
Rv encryptDataSecret(const MechanismInfo& m, const DeviceMechanism& dm, const Object& base, Rng rng,
                     Bytes* secret) {
    const bool cbc = m.family == Family::EncryptDataCbc;
    const size_t block = m.keyType == CKK_AES ? 16 : 8;
    const Bytes& p = parameterOf(dm);
    const size_t head = cbc ? block + 4 : 4;
    if (p.size() < head || readLe32(p.data() + head - 4) != p.size() - head) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    DeviceMechanism cipherMechanism;
    switch (m.keyType) {
        case CKK_DES:
            cipherMechanism.type = cbc ? CKM_DES_CBC : CKM_DES_ECB;
            break;
        case CKK_DES3:
            cipherMechanism.type = cbc ? CKM_DES3_CBC : CKM_DES3_ECB;
            break;
        default:
            cipherMechanism.type = cbc ? CKM_AES_CBC : CKM_AES_ECB;
            break;
    }
    if (cbc) {
        cipherMechanism.parameter = Bytes(p.begin(), p.begin() + block);
    }
    const MechanismInfo* cipherInfo = findMechanism(cipherMechanism.type);
    std::unique_ptr<CipherOperation> cipher;
    Rv rv = makeCipher(*cipherInfo, cipherMechanism, base, true, rng, &cipher);
    if (rv != CKR_OK) {
        return rv;
    }
    rv = cipher->run(Step::Single, ByteView(p.data() + head, p.size() - head), secret);
    return rv == CKR_DATA_LEN_RANGE ? CKR_MECHANISM_PARAM_INVALID : rv;
}

// The secret of a derivation by key agreement or by encryption of data.
Rv deriveSecret(const MechanismInfo& m, const DeviceMechanism& dm, const Object& base, Rng rng,
                Bytes* secret) {
    switch (m.family) {
        case Family::Ecdh:
            // Only the raw shared secret (CKD_NULL) is offered; the other
            // party's public point is required.
            if (!dm.ecdh || dm.ecdh->kdf != CKD_NULL || !dm.ecdh->publicData ||
                dm.ecdh->publicData->empty()) {
                return CKR_MECHANISM_PARAM_INVALID;
            }
            return ecdhSharedSecret(base, *dm.ecdh->publicData, rng, secret);
        case Family::DhDerive:
            // The parameter is the other party's public value.
            return dhSharedSecret(base, parameterOf(dm), secret);
        case Family::EncryptDataEcb:
        case Family::EncryptDataCbc:
            return encryptDataSecret(m, dm, base, rng, secret);
        default:
            return CKR_MECHANISM_INVALID;
    }
}

// The length of a derived key: CKA_VALUE_LEN when the template states it;
// else for a key agreement what its type holds (AES 32, DES 8, DES2 16,
// DES3 24) or the whole secret, and for a derivation by encryption the
// whole ciphertext.
size_t derivedLength(const MechanismInfo& m, const Object& key, size_t available) {
    if (key.has(CKA_VALUE_LEN)) {
        return key.ulong(CKA_VALUE_LEN, 0);
    }
    if (m.family == Family::EncryptDataEcb || m.family == Family::EncryptDataCbc) {
        return available;
    }
    const uint32_t type = key.keyType();
    if (type == CKK_AES) {
        return 32;
    }
    const size_t des = desKeyLength(type);
    return des != 0 ? des : available;
}

}  // namespace

Rv deriveKey(ObjectStore& store, const Access& who, const DeviceMechanism& dm, uint32_t baseKey,
             const Template& tmpl, Rng rng, uint32_t* handle) {
    const MechanismInfo* m = nullptr;
    Rv rv = mechanismFor(dm.type, kOpDerive, &m);
    if (rv != CKR_OK) {
        return rv;
    }
    const Object* base = store.find(who, baseKey);
    rv = checkKey(base, *m, kOpDerive);
    if (rv != CKR_OK) {
        return rv;
    }
    Object key;
    rv = buildObject(withDefaults(tmpl, CKO_SECRET_KEY, CKK_GENERIC_SECRET), Template(),
                     Origin::Derive, who.so, &key);
    if (rv != CKR_OK) {
        return rv;
    }
    if (key.objectClass() != CKO_SECRET_KEY) {
        return CKR_TEMPLATE_INCONSISTENT;
    }
    rv = store.mayWrite(who, key.isToken(), key.isPrivate());
    if (rv != CKR_OK) {
        return rv;
    }
    Bytes secret;
    rv = deriveSecret(*m, dm, *base, rng, &secret);
    if (rv != CKR_OK) {
        return rv;
    }
    // The key takes the leading bytes of the secret.
    const size_t length = derivedLength(*m, key, secret.size());
    if (length == 0 || length > secret.size()) {
        wipe(&secret);
        return CKR_TEMPLATE_INCONSISTENT;
    }
    mbedtls_platform_zeroize(secret.data() + length, secret.size() - length);
    secret.resize(length);
    if (desKeyLength(key.keyType()) != 0) {
        for (size_t i = 0; i < secret.size(); i += MBEDTLS_DES_KEY_SIZE) {
            mbedtls_des_key_set_parity(secret.data() + i);
        }
    }
    return storeSecret(store, who, std::move(key), std::move(secret), Origin::Derive, dm.type, base,
                       handle);
}

}  // namespace vexa::sim::crypto
