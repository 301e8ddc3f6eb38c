// Key generation: AES, DES and generic secrets; RSA, EC, DSA and DH key
// pairs; DSA and DH domain parameters.
#include <climits>

#include <mbedtls/des.h>
#include <p11-kit/pkcs11.h>

#include "sim/crypto/dsa_dh_ops.h"
#include "sim/crypto/key_management.h"
#include "sim/crypto/mechanisms.h"
#include "sim/objects/key_material.h"

namespace vexa::sim::crypto {
namespace {

constexpr uint32_t kMaxGenericSecret = 512;  // bytes; the largest HMAC key the device makes
constexpr uint32_t kDefaultExponent = 65537;

Template implied(uint32_t cls, uint32_t keyType) {
    return Template{{CKA_CLASS, ulongBytes(cls)}, {CKA_KEY_TYPE, ulongBytes(keyType)}};
}

Bytes randomBytes(Rng rng, size_t n, Rv* rv) {
    Bytes out(n);
    *rv = rng.f(rng.ctx, out.data(), out.size()) == 0 ? CKR_OK : CKR_FUNCTION_FAILED;
    return out;
}

// Stores a finished key pair; the public key goes again when the private
// one cannot be stored.
Rv storePair(ObjectStore& store, const Access& who, Object pub, Object priv, uint32_t* pubHandle,
             uint32_t* privHandle) {
    Rv rv = finishObject(&pub);
    if (rv == CKR_OK) {
        rv = finishObject(&priv);
    }
    if (rv != CKR_OK) {
        return CKR_FUNCTION_FAILED;  // the device made material it cannot use
    }
    rv = store.insert(who, std::move(pub), pubHandle);
    if (rv != CKR_OK) {
        return rv;
    }
    rv = store.insert(who, std::move(priv), privHandle);
    if (rv != CKR_OK) {
        store.destroy(who, *pubHandle);
    }
    return rv;
}

// The public exponent as a number mbedTLS takes: odd, at least 3, within int.
bool exponentOf(const Bytes* v, int* out) {
    if (v == nullptr) {
        *out = static_cast<int>(kDefaultExponent);
        return true;
    }
    uint64_t e = 0;
    for (uint8_t b : *v) {
        e = e << 8 | b;
        if (e > static_cast<uint64_t>(INT_MAX)) {
            return false;
        }
    }
    if (e < 3 || e % 2 == 0) {
        return false;
    }
    *out = static_cast<int>(e);
    return true;
}

Rv generateRsa(Rng rng, uint32_t maxBits, uint32_t mechanism, Object* pub, Object* priv) {
    const uint32_t bits = pub->ulong(CKA_MODULUS_BITS, 0);
    if (bits < kMinRsaBits || bits > maxBits || bits % 2 != 0) {
        return CKR_KEY_SIZE_RANGE;
    }
    int exponent = 0;
    if (!exponentOf(pub->get(CKA_PUBLIC_EXPONENT), &exponent)) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    RsaContext rsa;
    if (mbedtls_rsa_gen_key(rsa.get(), rng.f, rng.ctx, bits, exponent) != 0) {
        return CKR_FUNCTION_FAILED;
    }
    Mpi n, p, q, d, e;
    if (mbedtls_rsa_export(rsa.get(), n.get(), p.get(), q.get(), d.get(), e.get()) != 0) {
        return CKR_FUNCTION_FAILED;
    }
    setNumbers(pub, {{CKA_MODULUS, n.get()}, {CKA_PUBLIC_EXPONENT, e.get()}});
    // The primes spare finishObject() from recovering them; it adds the CRT
    // values.
    setNumbers(priv, {{CKA_MODULUS, n.get()},
                      {CKA_PUBLIC_EXPONENT, e.get()},
                      {CKA_PRIVATE_EXPONENT, d.get()},
                      {CKA_PRIME_1, p.get()},
                      {CKA_PRIME_2, q.get()}});
    setProvenance(Origin::Generate, mechanism, nullptr, pub);
    setProvenance(Origin::Generate, mechanism, nullptr, priv);
    return CKR_OK;
}

Rv generateEc(Rng rng, uint32_t mechanism, Object* pub, Object* priv) {
    const Bytes* params = pub->get(CKA_EC_PARAMS);
    const Curve* curve = params ? curveByParams(*params) : nullptr;
    if (curve == nullptr) {
        return CKR_CURVE_NOT_SUPPORTED;
    }
    EcKeypair kp;
    if (mbedtls_ecp_gen_key(curve->group, kp.get(), rng.f, rng.ctx) != 0) {
        return CKR_FUNCTION_FAILED;
    }
    const size_t fieldBytes = (kp->grp.pbits + 7) / 8;
    const size_t orderBytes = (kp->grp.nbits + 7) / 8;
    Bytes point(1 + 2 * fieldBytes);
    size_t written = 0;
    if (mbedtls_ecp_point_write_binary(&kp->grp, &kp->Q, MBEDTLS_ECP_PF_UNCOMPRESSED, &written,
                                       point.data(), point.size()) != 0 ||
        written != point.size()) {
        return CKR_FUNCTION_FAILED;
    }
    pub->set(CKA_EC_POINT, wrapPoint(point));
    priv->set(CKA_EC_PARAMS, curve->params);
    priv->set(CKA_VALUE, mpiBytes(kp->d, orderBytes));
    setProvenance(Origin::Generate, mechanism, nullptr, pub);
    setProvenance(Origin::Generate, mechanism, nullptr, priv);
    return CKR_OK;
}

// DSA or DH domain parameters of the size CKA_PRIME_BITS asks for.
Rv generateParameters(ObjectStore& store, const Access& who, const MechanismInfo& m,
                      const Template& tmpl, Rng rng, uint32_t* handle) {
    Object params;
    Rv rv = buildObject(tmpl, implied(CKO_DOMAIN_PARAMETERS, m.keyType), Origin::Generate, who.so,
                        &params);
    if (rv != CKR_OK) {
        return rv;
    }
    rv = store.mayWrite(who, params.isToken(), params.isPrivate());
    if (rv != CKR_OK) {
        return rv;
    }
    const uint32_t bits = params.ulong(CKA_PRIME_BITS, 0);
    rv = m.family == Family::DsaParameterGen ? generateDsaParameters(rng, bits, &params)
                                             : generateDhParameters(rng, bits, &params);
    if (rv != CKR_OK) {
        return rv;
    }
    params.setBool(CKA_LOCAL, true);
    rv = finishObject(&params);
    if (rv != CKR_OK) {
        return rv;
    }
    return store.insert(who, std::move(params), handle);
}

}  // namespace

Rv generateKey(ObjectStore& store, const Access& who, const DeviceMechanism& dm,
               const Template& tmpl, Rng rng, uint32_t* handle) {
    const MechanismInfo* m = nullptr;
    Rv rv = mechanismFor(dm.type, kOpGenerate, &m);
    if (rv != CKR_OK) {
        return rv;
    }
    if (m->family == Family::DsaParameterGen || m->family == Family::DhParameterGen) {
        return generateParameters(store, who, *m, tmpl, rng, handle);
    }
    Object key;
    rv = buildObject(tmpl, implied(CKO_SECRET_KEY, m->keyType), Origin::Generate, who.so, &key);
    if (rv != CKR_OK) {
        return rv;
    }
    rv = store.mayWrite(who, key.isToken(), key.isPrivate());
    if (rv != CKR_OK) {
        return rv;
    }
    uint32_t length = static_cast<uint32_t>(desKeyLength(m->keyType));
    if (length == 0) {
        length = key.ulong(CKA_VALUE_LEN, 0);
        const bool ok = m->keyType == CKK_AES ? (length == 16 || length == 24 || length == 32)
                                              : (length >= 1 && length <= kMaxGenericSecret);
        if (!ok) {
            return CKR_KEY_SIZE_RANGE;
        }
    }
    Bytes value = randomBytes(rng, length, &rv);
    if (rv != CKR_OK) {
        return rv;
    }
    if (desKeyLength(m->keyType) != 0) {
        for (size_t i = 0; i < value.size(); i += MBEDTLS_DES_KEY_SIZE) {
            mbedtls_des_key_set_parity(value.data() + i);
        }
    }
    key.set(CKA_VALUE, std::move(value));
    setProvenance(Origin::Generate, dm.type, nullptr, &key);
    rv = finishObject(&key);
    if (rv != CKR_OK) {
        return rv;
    }
    return store.insert(who, std::move(key), handle);
}

Rv generateKeyPair(ObjectStore& store, const Access& who, const DeviceMechanism& dm,
                   const Template& publicTemplate, const Template& privateTemplate, Rng rng,
                   uint32_t maxRsaBits, uint32_t* publicHandle, uint32_t* privateHandle) {
    const MechanismInfo* m = nullptr;
    Rv rv = mechanismFor(dm.type, kOpGeneratePair, &m);
    if (rv != CKR_OK) {
        return rv;
    }
    Object pub, priv;
    rv = buildObject(publicTemplate, implied(CKO_PUBLIC_KEY, m->keyType), Origin::Generate, who.so,
                     &pub);
    if (rv == CKR_OK) {
        rv = buildObject(privateTemplate, implied(CKO_PRIVATE_KEY, m->keyType), Origin::Generate,
                         who.so, &priv);
    }
    if (rv == CKR_OK) {
        rv = store.mayWrite(who, pub.isToken(), pub.isPrivate());
    }
    if (rv == CKR_OK) {
        rv = store.mayWrite(who, priv.isToken(), priv.isPrivate());
    }
    if (rv != CKR_OK) {
        return rv;
    }
    switch (m->family) {
        case Family::RsaKeyGen:
            rv = generateRsa(rng, maxRsaBits, dm.type, &pub, &priv);
            break;
        case Family::DsaKeyGen:
        case Family::DhKeyGen:
            rv = m->family == Family::DsaKeyGen ? generateDsaKeyPair(rng, &pub, &priv)
                                                : generateDhKeyPair(rng, &pub, &priv);
            if (rv == CKR_OK) {
                setProvenance(Origin::Generate, dm.type, nullptr, &pub);
                setProvenance(Origin::Generate, dm.type, nullptr, &priv);
            }
            break;
        default:
            rv = generateEc(rng, dm.type, &pub, &priv);
            break;
    }
    if (rv != CKR_OK) {
        return rv;
    }
    return storePair(store, who, std::move(pub), std::move(priv), publicHandle, privateHandle);
}

}  // namespace vexa::sim::crypto
