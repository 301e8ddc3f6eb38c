// Key material of stored objects: checks what a template brings, derives
// the attributes that follow from it, and loads keys into mbedTLS.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>

#include <mbedtls/ecp.h>

#include "sim/objects/mbed_types.h"
#include "sim/objects/object.h"

namespace vexa::sim {

// The curves the device knows, by the DER object identifier that
// CKA_EC_PARAMS carries.
struct Curve {
    mbedtls_ecp_group_id group;
    const char* name;
    Bytes params;  // DER OBJECT IDENTIFIER
};
const Curve* curveByParams(ByteView params);
const Curve* curveByGroup(mbedtls_ecp_group_id group);

// Completes a new key or certificate whose material is in place: checks it
// (CKR_ATTRIBUTE_VALUE_INVALID, CKR_TEMPLATE_INCONSISTENT for a stated
// length that disagrees), and sets the attributes that follow from it:
// CKA_MODULUS_BITS, the CRT values of an RSA private key, CKA_VALUE_LEN,
// CKA_CHECK_VALUE, a DER-wrapped CKA_EC_POINT, and a certificate's subject,
// issuer and serial number when the template left them empty.
Rv finishObject(Object* obj);

// Prime sizes of DSA and DH, in bits.
constexpr size_t kMinFieldBits = 1024;
constexpr size_t kMaxFieldBits = 2048;

// Checks the prime and base of a DSA or DH key or of domain parameters.
Rv checkFiniteField(const Object& obj);

// The value length of a DES key type: 8 (CKK_DES), 16 (CKK_DES2), 24
// (CKK_DES3); 0 for any other type.
size_t desKeyLength(uint32_t keyType);

// Loads an RSA key (public part only when `withPrivate` is false).
Rv loadRsa(const Object& key, bool withPrivate, RsaContext* out);
// Loads an EC key: group, public point Q when the object has one, d when
// `withPrivate` is set.
Rv loadEc(const Object& key, bool withPrivate, EcKeypair* out);

// Writes an mbedTLS number as big-endian bytes of its own length (at least
// one byte), or of exactly `width` bytes.
Bytes mpiBytes(const mbedtls_mpi& n, size_t width = 0);
// Stores each number as the big-endian value of its attribute (mpiBytes).
void setNumbers(Object* key,
                std::initializer_list<std::pair<uint32_t, const mbedtls_mpi*>> numbers);
// A signature r || s, each `width` bytes; empty when either does not fit.
Bytes signaturePair(const mbedtls_mpi& r, const mbedtls_mpi& s, size_t width);

// The DER OCTET STRING around an uncompressed point, and back. unwrapPoint
// accepts the DER form and the bare point.
Bytes wrapPoint(ByteView point);
bool unwrapPoint(ByteView in, size_t fieldBytes, Bytes* point);

}  // namespace vexa::sim
