#include "sim/objects/key_material.h"

#include <mbedtls/aes.h>
#include <mbedtls/des.h>
#include <mbedtls/sha1.h>
#include <p11-kit/pkcs11.h>

namespace vexa::sim {
namespace {

const Curve kCurves[] = {
    {MBEDTLS_ECP_DP_SECP256R1,
     "P-256",
     {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}},
    {MBEDTLS_ECP_DP_SECP384R1, "P-384", {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22}},
    {MBEDTLS_ECP_DP_SECP521R1, "P-521", {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23}},
};

constexpr size_t kMinRsaBits = 512;
constexpr size_t kMaxRsaBits = 4096;

const Bytes& attr(const Object& o, uint32_t type) {
    static const Bytes kEmpty;
    const Bytes* v = o.get(type);
    return v == nullptr ? kEmpty : *v;
}

// Reads an attribute as a big number; an absent or empty one stays unset.
bool readMpi(const Object& o, uint32_t type, Mpi* out, bool* present) {
    const Bytes& v = attr(o, type);
    *present = !v.empty();
    return v.empty() || mbedtls_mpi_read_binary(out->get(), v.data(), v.size()) == 0;
}

Rv finishRsaPublic(Object* key) {
    RsaContext rsa;
    Rv rv = loadRsa(*key, false, &rsa);
    if (rv != CKR_OK) {
        return rv;
    }
    key->setUlong(CKA_MODULUS_BITS, static_cast<uint32_t>(mbedtls_rsa_get_len(rsa.get()) * 8));
    return CKR_OK;
}

Rv finishRsaPrivate(Object* key) {
    // The device keeps the CRT form; it is recomputed from N, E and D (and
    // the primes when given), so that the stored values always agree.
    Mpi n, p, q, d, e;
    bool hasN = false, hasP = false, hasQ = false, hasD = false, hasE = false;
    if (!readMpi(*key, CKA_MODULUS, &n, &hasN) || !readMpi(*key, CKA_PRIME_1, &p, &hasP) ||
        !readMpi(*key, CKA_PRIME_2, &q, &hasQ) || !readMpi(*key, CKA_PRIVATE_EXPONENT, &d, &hasD) ||
        !readMpi(*key, CKA_PUBLIC_EXPONENT, &e, &hasE)) {
        return CKR_DEVICE_MEMORY;
    }
    if (!hasN || !hasD || !hasE) {
        return CKR_TEMPLATE_INCOMPLETE;
    }
    const size_t bits = mbedtls_mpi_bitlen(n.get());
    if (bits < kMinRsaBits || bits > kMaxRsaBits) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    RsaContext rsa;
    if (mbedtls_rsa_import(rsa.get(), n.get(), hasP && hasQ ? p.get() : nullptr,
                           hasP && hasQ ? q.get() : nullptr, d.get(), e.get()) != 0 ||
        mbedtls_rsa_complete(rsa.get()) != 0 || mbedtls_rsa_check_privkey(rsa.get()) != 0) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    Mpi dp, dq, qp;
    if (mbedtls_rsa_export(rsa.get(), nullptr, p.get(), q.get(), nullptr, nullptr) != 0 ||
        mbedtls_rsa_export_crt(rsa.get(), dp.get(), dq.get(), qp.get()) != 0) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    key->set(CKA_PRIME_1, mpiBytes(*p.get()));
    key->set(CKA_PRIME_2, mpiBytes(*q.get()));
    key->set(CKA_EXPONENT_1, mpiBytes(*dp.get()));
    key->set(CKA_EXPONENT_2, mpiBytes(*dq.get()));
    key->set(CKA_COEFFICIENT, mpiBytes(*qp.get()));
    return CKR_OK;
}

Rv finishEc(Object* key, bool isPrivate) {
    const Curve* curve = curveByParams(attr(*key, CKA_EC_PARAMS));
    if (curve == nullptr) {
        return CKR_CURVE_NOT_SUPPORTED;
    }
    if (!isPrivate) {
        // Some applications give the bare point; the device keeps the DER
        // form that PKCS#11 prescribes.
        EcKeypair kp;
        if (mbedtls_ecp_group_load(&kp->grp, curve->group) != 0) {
            return CKR_CURVE_NOT_SUPPORTED;
        }
        Bytes point;
        if (!unwrapPoint(attr(*key, CKA_EC_POINT), (kp->grp.pbits + 7) / 8, &point)) {
            return CKR_ATTRIBUTE_VALUE_INVALID;
        }
        key->set(CKA_EC_POINT, wrapPoint(point));
    }
    EcKeypair kp;
    return loadEc(*key, isPrivate, &kp);
}

// The first three bytes of the key's cipher applied to a zero block, or of
// the SHA-1 of a generic secret.
Bytes checkValue(uint32_t keyType, const Bytes& value) {
    uint8_t out[20] = {};
    const uint8_t zero[16] = {};
    if (keyType == CKK_AES) {
        AesContext aes;
        const bool ok = mbedtls_aes_setkey_enc(&aes, value.data(),
                                               static_cast<unsigned>(value.size() * 8)) == 0 &&
                        mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_ENCRYPT, zero, out) == 0;
        if (!ok) {
            return Bytes();
        }
    } else if (keyType == CKK_DES) {
        DesContext des;
        const bool ok = mbedtls_des_setkey_enc(&des, value.data()) == 0 &&
                        mbedtls_des_crypt_ecb(&des, zero, out) == 0;
        if (!ok) {
            return Bytes();
        }
    } else if (keyType == CKK_DES2 || keyType == CKK_DES3) {
        Des3Context des;
        const int set = keyType == CKK_DES2 ? mbedtls_des3_set2key_enc(&des, value.data())
                                            : mbedtls_des3_set3key_enc(&des, value.data());
        const bool ok = set == 0 && mbedtls_des3_crypt_ecb(&des, zero, out) == 0;
        if (!ok) {
            return Bytes();
        }
    } else if (mbedtls_sha1_ret(value.data(), value.size(), out) != 0) {
        return Bytes();
    }
    return Bytes(out, out + 3);
}

Rv finishSecret(Object* key) {
    const uint32_t type = key->keyType();
    const Bytes& value = attr(*key, CKA_VALUE);
    const size_t n = value.size();
    const size_t des = desKeyLength(type);
    const bool sizeOk = type == CKK_AES ? (n == 16 || n == 24 || n == 32)
                        : des != 0      ? n == des
                                        : n >= 1;
    if (!sizeOk) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    if (des == 0) {
        // A length stated by an unwrap or derive template must be the real one.
        if (key->has(CKA_VALUE_LEN) && key->ulong(CKA_VALUE_LEN, 0) != n) {
            return CKR_TEMPLATE_INCONSISTENT;
        }
        key->setUlong(CKA_VALUE_LEN, static_cast<uint32_t>(n));
    }
    key->set(CKA_CHECK_VALUE, checkValue(type, value));
    return CKR_OK;
}

// DER of an INTEGER whose content bytes are `v`.
Bytes derInteger(const unsigned char* v, size_t n) {
    Bytes out{0x02};
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n < 0x100) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(n));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(n >> 8));
        out.push_back(static_cast<uint8_t>(n));
    }
    out.insert(out.end(), v, v + n);
    return out;
}

Rv finishCertificate(Object* cert) {
    const Bytes& der = attr(*cert, CKA_VALUE);
    X509Cert crt;
    if (mbedtls_x509_crt_parse_der(crt.get(), der.data(), der.size()) != 0) {
        // The device stores what it is given; a value it cannot read must
        // come with the subject the standard asks for.
        return attr(*cert, CKA_SUBJECT).empty() ? CKR_TEMPLATE_INCOMPLETE : CKR_OK;
    }
    if (attr(*cert, CKA_SUBJECT).empty()) {
        cert->set(CKA_SUBJECT,
                  Bytes(crt->subject_raw.p, crt->subject_raw.p + crt->subject_raw.len));
    }
    if (attr(*cert, CKA_ISSUER).empty()) {
        cert->set(CKA_ISSUER, Bytes(crt->issuer_raw.p, crt->issuer_raw.p + crt->issuer_raw.len));
    }
    if (attr(*cert, CKA_SERIAL_NUMBER).empty()) {
        cert->set(CKA_SERIAL_NUMBER, derInteger(crt->serial.p, crt->serial.len));
    }
    return CKR_OK;
}

}  // namespace

const Curve* curveByParams(ByteView params) {
    for (const Curve& c : kCurves) {
        if (params.size == c.params.size() &&
            std::equal(c.params.begin(), c.params.end(), params.data)) {
            return &c;
        }
    }
    return nullptr;
}

const Curve* curveByGroup(mbedtls_ecp_group_id group) {
    for (const Curve& c : kCurves) {
        if (c.group == group) {
            return &c;
        }
    }
    return nullptr;
}

size_t desKeyLength(uint32_t keyType) {
    switch (keyType) {
        case CKK_DES:
            return 8;
        case CKK_DES2:
            return 16;
        case CKK_DES3:
            return 24;
        default:
            return 0;
    }
}

Rv checkFiniteField(const Object& obj) {
    Mpi p, g;
    bool hasP = false, hasG = false;
    if (!readMpi(obj, CKA_PRIME, &p, &hasP) || !readMpi(obj, CKA_BASE, &g, &hasG)) {
        return CKR_DEVICE_MEMORY;
    }
    if (!hasP || !hasG) {
        return CKR_TEMPLATE_INCOMPLETE;
    }
    const size_t bits = mbedtls_mpi_bitlen(p.get());
    if (bits < kMinFieldBits || bits > kMaxFieldBits || mbedtls_mpi_get_bit(p.get(), 0) == 0) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    return CKR_OK;
}

Rv finishObject(Object* obj) {
    switch (obj->objectClass()) {
        case CKO_CERTIFICATE:
            return finishCertificate(obj);
        case CKO_PUBLIC_KEY:
        case CKO_PRIVATE_KEY: {
            const bool priv = obj->objectClass() == CKO_PRIVATE_KEY;
            switch (obj->keyType()) {
                case CKK_RSA:
                    return priv ? finishRsaPrivate(obj) : finishRsaPublic(obj);
                case CKK_DSA:
                case CKK_DH:
                    return checkFiniteField(*obj);
                default:
                    return finishEc(obj, priv);
            }
        }
        case CKO_DOMAIN_PARAMETERS:
            return checkFiniteField(*obj);
        case CKO_SECRET_KEY:
            return finishSecret(obj);
        default:
            return CKR_OK;
    }
}

Rv loadRsa(const Object& key, bool withPrivate, RsaContext* out) {
    Mpi n, e, d, p, q;
    bool hasN = false, hasE = false, hasD = false, hasP = false, hasQ = false;
    if (!readMpi(key, CKA_MODULUS, &n, &hasN) || !readMpi(key, CKA_PUBLIC_EXPONENT, &e, &hasE)) {
        return CKR_DEVICE_MEMORY;
    }
    if (!hasN || !hasE) {
        return CKR_TEMPLATE_INCOMPLETE;
    }
    const size_t bits = mbedtls_mpi_bitlen(n.get());
    if (bits < kMinRsaBits || bits > kMaxRsaBits) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    if (withPrivate) {
        if (!readMpi(key, CKA_PRIVATE_EXPONENT, &d, &hasD) ||
            !readMpi(key, CKA_PRIME_1, &p, &hasP) || !readMpi(key, CKA_PRIME_2, &q, &hasQ)) {
            return CKR_DEVICE_MEMORY;
        }
        if (!hasD || !hasP || !hasQ) {
            return CKR_TEMPLATE_INCOMPLETE;
        }
    }
    if (mbedtls_rsa_import(out->get(), n.get(), withPrivate ? p.get() : nullptr,
                           withPrivate ? q.get() : nullptr, withPrivate ? d.get() : nullptr,
                           e.get()) != 0 ||
        mbedtls_rsa_complete(out->get()) != 0) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    const int check =
        withPrivate ? mbedtls_rsa_check_privkey(out->get()) : mbedtls_rsa_check_pubkey(out->get());
    return check == 0 ? CKR_OK : CKR_ATTRIBUTE_VALUE_INVALID;
}

Rv loadEc(const Object& key, bool withPrivate, EcKeypair* out) {
    const Curve* curve = curveByParams(attr(key, CKA_EC_PARAMS));
    if (curve == nullptr) {
        return CKR_CURVE_NOT_SUPPORTED;
    }
    if (mbedtls_ecp_group_load(&(*out)->grp, curve->group) != 0) {
        return CKR_CURVE_NOT_SUPPORTED;
    }
    const size_t fieldBytes = ((*out)->grp.pbits + 7) / 8;
    const Bytes& encoded = attr(key, CKA_EC_POINT);
    if (!encoded.empty()) {
        Bytes point;
        if (!unwrapPoint(encoded, fieldBytes, &point) ||
            mbedtls_ecp_point_read_binary(&(*out)->grp, &(*out)->Q, point.data(), point.size()) !=
                0 ||
            mbedtls_ecp_check_pubkey(&(*out)->grp, &(*out)->Q) != 0) {
            return CKR_ATTRIBUTE_VALUE_INVALID;
        }
    }
    if (withPrivate) {
        const Bytes& d = attr(key, CKA_VALUE);
        if (d.empty() || d.size() > fieldBytes) {
            return CKR_ATTRIBUTE_VALUE_INVALID;
        }
        if (mbedtls_mpi_read_binary(&(*out)->d, d.data(), d.size()) != 0 ||
            mbedtls_ecp_check_privkey(&(*out)->grp, &(*out)->d) != 0) {
            return CKR_ATTRIBUTE_VALUE_INVALID;
        }
    }
    return CKR_OK;
}

Bytes mpiBytes(const mbedtls_mpi& n, size_t width) {
    size_t len = width != 0 ? width : mbedtls_mpi_size(&n);
    if (len == 0) {
        len = 1;
    }
    Bytes out(len);
    if (mbedtls_mpi_write_binary(&n, out.data(), out.size()) != 0) {
        return Bytes();
    }
    return out;
}

Bytes signaturePair(const mbedtls_mpi& r, const mbedtls_mpi& s, size_t width) {
    Bytes out = mpiBytes(r, width);
    const Bytes second = mpiBytes(s, width);
    if (out.empty() || second.empty()) {
        return Bytes();
    }
    out.insert(out.end(), second.begin(), second.end());
    return out;
}

Bytes wrapPoint(ByteView point) {
    Bytes out{0x04};
    if (point.size < 0x80) {
        out.push_back(static_cast<uint8_t>(point.size));
    } else {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(point.size));
    }
    out.insert(out.end(), point.begin(), point.end());
    return out;
}

bool unwrapPoint(ByteView in, size_t fieldBytes, Bytes* point) {
    const size_t bare = 1 + 2 * fieldBytes;  // 0x04 || X || Y
    if (in.size == bare && in.data[0] == 0x04) {
        *point = in.toBytes();
        return true;
    }
    // DER OCTET STRING: 0x04, a short or one-byte long length, the point.
    const size_t header = bare < 0x80 ? 2 : 3;
    if (in.size != header + bare || in.data[0] != 0x04) {
        return false;
    }
    const bool lengthOk =
        bare < 0x80 ? in.data[1] == bare : (in.data[1] == 0x81 && in.data[2] == bare);
    if (!lengthOk || in.data[header] != 0x04) {
        return false;
    }
    *point = Bytes(in.begin() + header, in.end());
    return true;
}

}  // namespace vexa::sim
