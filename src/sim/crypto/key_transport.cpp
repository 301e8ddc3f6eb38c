// Keys leaving and entering the device: wrapping and unwrapping secret
// keys, and deriving a secret from an EC key agreement.
#include <mbedtls/platform_util.h>
#include <p11-kit/pkcs11.h>

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
    Rv rv = mechanismFor(dm.type, kOpWrap, &m);
    if (rv != CKR_OK) {
        return rv;
    }
    const Object* kek = store.find(who, wrappingKey);
    rv = wrappingKeyError(checkKey(kek, *m, kOpWrap), true);
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
    Rv rv = mechanismFor(dm.type, kOpUnwrap, &m);
    if (rv != CKR_OK) {
        return rv;
    }
    const Object* kek = store.find(who, unwrappingKey);
    rv = wrappingKeyError(checkKey(kek, *m, kOpUnwrap), false);
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
    // Only the raw shared secret (CKD_NULL) is offered; the other party's
    // public point is required.
    if (!dm.ecdh || dm.ecdh->kdf != CKD_NULL || !dm.ecdh->publicData ||
        dm.ecdh->publicData->empty()) {
        return CKR_MECHANISM_PARAM_INVALID;
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
    rv = ecdhSharedSecret(*base, *dm.ecdh->publicData, rng, &secret);
    if (rv != CKR_OK) {
        return rv;
    }
    // The key takes the leading bytes of the secret: CKA_VALUE_LEN of them,
    // or as many as its type holds (AES 32, DES3 24), or all of it.
    const uint32_t type = key.keyType();
    size_t length = secret.size();
    if (key.has(CKA_VALUE_LEN)) {
        length = key.ulong(CKA_VALUE_LEN, 0);
    } else if (type == CKK_AES) {
        length = 32;
    } else if (type == CKK_DES3) {
        length = 24;
    }
    if (length == 0 || length > secret.size()) {
        wipe(&secret);
        return CKR_TEMPLATE_INCONSISTENT;
    }
    mbedtls_platform_zeroize(secret.data() + length, secret.size() - length);
    secret.resize(length);
    return storeSecret(store, who, std::move(key), std::move(secret), Origin::Derive, dm.type, base,
                       handle);
}

}  // namespace vexa::sim::crypto
