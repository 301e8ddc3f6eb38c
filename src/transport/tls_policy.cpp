#include "transport/tls_policy.h"

#include <mbedtls/asn1.h>
#include <mbedtls/cipher.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/oid.h>
#include <mbedtls/ssl_ciphersuites.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace vexa::tls {

namespace {

// Certificates (the peer's and every CA above it) signed with SHA-2; any
// public-key algorithm and curve; RSA keys of at least 2048 bits.
const mbedtls_x509_crt_profile kCertificateProfile = {
    MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA224) | MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA256) |
        MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA384) | MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA512),
    0xFFFFFFF,  // any public-key algorithm
    0xFFFFFFF,  // any curve
    2048,
};

// Hashes a peer may use to sign the handshake, strongest first.
const int kSignatureHashes[] = {MBEDTLS_MD_SHA512, MBEDTLS_MD_SHA384, MBEDTLS_MD_SHA256,
                                MBEDTLS_MD_NONE};

// Key exchange groups, cheapest first: X25519 costs a fraction of the
// NIST curves, which stay for peers without it.
const mbedtls_ecp_group_id kCurves[] = {MBEDTLS_ECP_DP_CURVE25519, MBEDTLS_ECP_DP_SECP256R1,
                                        MBEDTLS_ECP_DP_SECP384R1, MBEDTLS_ECP_DP_SECP521R1,
                                        MBEDTLS_ECP_DP_NONE};

bool isForwardSecret(mbedtls_key_exchange_type_t exchange) {
    return exchange == MBEDTLS_KEY_EXCHANGE_ECDHE_ECDSA ||
           exchange == MBEDTLS_KEY_EXCHANGE_ECDHE_RSA || exchange == MBEDTLS_KEY_EXCHANGE_DHE_RSA;
}

bool isAead(mbedtls_cipher_type_t type) {
    const mbedtls_cipher_info_t* info = mbedtls_cipher_info_from_type(type);
    if (info == nullptr) {
        return false;
    }
    return info->mode == MBEDTLS_MODE_GCM || info->mode == MBEDTLS_MODE_CCM ||
           info->mode == MBEDTLS_MODE_CHACHAPOLY;
}

std::vector<int> chooseCipherSuites() {
    std::vector<int> chosen;
    for (const int* id = mbedtls_ssl_list_ciphersuites(); *id != 0; ++id) {
        const mbedtls_ssl_ciphersuite_t* suite = mbedtls_ssl_ciphersuite_from_id(*id);
        // Short (8-byte) tags are left out with the weak suites.
        if (suite != nullptr && isForwardSecret(suite->key_exchange) && isAead(suite->cipher) &&
            (suite->flags & (MBEDTLS_CIPHERSUITE_SHORT_TAG | MBEDTLS_CIPHERSUITE_WEAK)) == 0) {
            chosen.push_back(*id);
        }
    }
    chosen.push_back(0);
    return chosen;
}

// Steps into a DER SEQUENCE at *p: on success *p is its first element and
// *end its end.
bool enterSequence(unsigned char** p, const unsigned char** end) {
    size_t length = 0;
    if (mbedtls_asn1_get_tag(p, *end, &length, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) !=
        0) {
        return false;
    }
    *end = *p + length;
    return true;
}

// Walks GeneralNames for iPAddress entries ([7] IMPLICIT OCTET STRING).
bool namesContainAddress(unsigned char* p, const unsigned char* end,
                         const std::vector<unsigned char>& wanted) {
    if (!enterSequence(&p, &end)) {
        return false;
    }
    size_t length = 0;
    while (p < end) {
        const unsigned char tag = *p++;
        if (mbedtls_asn1_get_len(&p, end, &length) != 0) {
            return false;
        }
        if (tag == (MBEDTLS_ASN1_CONTEXT_SPECIFIC | 7) && length == wanted.size() &&
            std::memcmp(p, wanted.data(), length) == 0) {
            return true;
        }
        p += length;
    }
    return false;
}

}  // namespace

int sendWithoutSignal(void* netContext, const unsigned char* data, size_t length) {
    const int fd = static_cast<mbedtls_net_context*>(netContext)->fd;
    const long sent = vexa::platform::sendNoSignal(fd, data, length);
    if (sent >= 0) {
        return static_cast<int>(sent);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return MBEDTLS_ERR_SSL_WANT_WRITE;
    }
    if (errno == EPIPE || errno == ECONNRESET) {
        return MBEDTLS_ERR_NET_CONN_RESET;
    }
    return MBEDTLS_ERR_NET_SEND_FAILED;
}

const int* allowedCipherSuites() {
    static const std::vector<int> suites = chooseCipherSuites();
    return suites.data();
}

void applyPolicy(mbedtls_ssl_config* conf) {
    mbedtls_ssl_conf_min_version(conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_ciphersuites(conf, allowedCipherSuites());
    mbedtls_ssl_conf_sig_hashes(conf, kSignatureHashes);
    mbedtls_ssl_conf_curves(conf, kCurves);
    mbedtls_ssl_conf_cert_profile(conf, &kCertificateProfile);
}

bool isIpAddress(const std::string& text) {
    return !vexa::platform::ipAddressBytes(text).empty();
}

bool certificateNamesIpAddress(const mbedtls_x509_crt& certificate, const std::string& address) {
    const std::vector<unsigned char> wanted = vexa::platform::ipAddressBytes(address);
    if (wanted.empty() || certificate.v3_ext.p == nullptr) {
        return false;
    }
    // v3_ext is the Extensions SEQUENCE: Extension ::= SEQUENCE { extnID,
    // critical BOOLEAN DEFAULT FALSE, extnValue OCTET STRING }.
    unsigned char* p = certificate.v3_ext.p;
    const unsigned char* end = p + certificate.v3_ext.len;
    if (!enterSequence(&p, &end)) {
        return false;
    }
    while (p < end) {
        const unsigned char* extensionEnd = end;
        if (!enterSequence(&p, &extensionEnd)) {
            return false;
        }
        size_t length = 0;
        mbedtls_asn1_buf oid{};
        if (mbedtls_asn1_get_tag(&p, extensionEnd, &oid.len, MBEDTLS_ASN1_OID) != 0) {
            return false;
        }
        oid.p = p;
        p += oid.len;
        int critical = 0;
        if (p < extensionEnd && *p == MBEDTLS_ASN1_BOOLEAN &&
            mbedtls_asn1_get_bool(&p, extensionEnd, &critical) != 0) {
            return false;
        }
        if (mbedtls_asn1_get_tag(&p, extensionEnd, &length, MBEDTLS_ASN1_OCTET_STRING) != 0) {
            return false;
        }
        if (oid.len == sizeof(MBEDTLS_OID_SUBJECT_ALT_NAME) - 1 &&
            std::memcmp(oid.p, MBEDTLS_OID_SUBJECT_ALT_NAME, oid.len) == 0) {
            return namesContainAddress(p, p + length, wanted);
        }
        p = const_cast<unsigned char*>(extensionEnd);
    }
    return false;
}

}  // namespace vexa::tls
