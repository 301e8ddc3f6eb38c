// An independent implementation to check the device's results against:
// OpenSSL's libcrypto. Public keys are rebuilt from the attributes read
// through the module; signatures are checked and ciphertexts decrypted here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexa::test::ossl {

using Bytes = std::vector<uint8_t>;

// A digest by OpenSSL name ("SHA256", "MD5", ...).
Bytes Digest(const std::string& name, const Bytes& data);
// HMAC with that digest.
Bytes Hmac(const std::string& digest, const Bytes& key, const Bytes& data);

// RSA public key operations on (modulus, public exponent).
struct RsaPublic {
    Bytes modulus;
    Bytes exponent;
};
// PKCS#1 v1.5 signature over the digest of data.
bool RsaVerifyPkcs1(const RsaPublic& key, const std::string& digest, const Bytes& data,
                    const Bytes& signature);
// PSS over the digest of data, salt as long as the digest.
bool RsaVerifyPss(const RsaPublic& key, const std::string& digest, const Bytes& data,
                  const Bytes& signature);
// What a raw PKCS#1 v1.5 signature (CKM_RSA_PKCS) recovers to.
Bytes RsaRecoverPkcs1(const RsaPublic& key, const Bytes& signature);
// PKCS#1 v1.5 or OAEP (with this digest for label and mask) encryption.
Bytes RsaEncryptPkcs1(const RsaPublic& key, const Bytes& plain);
Bytes RsaEncryptOaep(const RsaPublic& key, const std::string& digest, const Bytes& plain);

// ECDSA: the curve by OpenSSL group name ("prime256v1", "secp384r1"), the
// public point uncompressed (04 || x || y), the signature as PKCS#11's r || s.
bool EcdsaVerifyHash(const std::string& group, const Bytes& point, const Bytes& hash,
                     const Bytes& rs);

// Symmetric ciphers by OpenSSL name ("AES-128-CBC", "AES-256-ECB", ...);
// padding as PKCS#7 when `pad`.
Bytes Encrypt(const std::string& cipher, const Bytes& key, const Bytes& iv, const Bytes& plain,
              bool pad);
Bytes Decrypt(const std::string& cipher, const Bytes& key, const Bytes& iv, const Bytes& cipherText,
              bool pad);

// An EC public key as DER SubjectPublicKeyInfo, for the openssl command line.
Bytes EcPublicDer(const std::string& group, const Bytes& point);

}  // namespace vexa::test::ossl
