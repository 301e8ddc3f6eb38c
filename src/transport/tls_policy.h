// The TLS rules both ends of a daemon connection follow: TLS 1.2 or later,
// forward-secret AEAD cipher suites only, certificates signed with SHA-2,
// and naming the daemon by host name or by IP address.
#pragma once

#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <string>

namespace vexa::tls {

// Sets the minimum protocol version (TLS 1.2), the cipher suites (ECDHE or
// DHE key exchange with GCM, CCM or ChaCha20-Poly1305), the signature
// hashes of the handshake and the certificate profile (SHA-224 to SHA-512,
// RSA keys of at least 2048 bits) on a client or server configuration.
void applyPolicy(mbedtls_ssl_config* conf);

// The cipher suites applyPolicy allows, in the library's order of
// preference, ending in 0.
const int* allowedCipherSuites();

// True when text is an IPv4 or IPv6 address rather than a host name.
bool isIpAddress(const std::string& text);

// True when the certificate lists the IP address `address` (text form) in
// its subject alternative names.
bool certificateNamesIpAddress(const mbedtls_x509_crt& certificate, const std::string& address);

// The send function of a TLS connection over an mbedtls_net_context: as the
// library's own, but a peer that has closed the connection gives an error
// instead of SIGPIPE, which would end the process.
int sendWithoutSignal(void* netContext, const unsigned char* data, size_t length);

// A client or server key file: PEM or DER, plain or encrypted, including the
// PKCS#8 form that current OpenSSL writes by default (PBES2 with PBKDF2 and
// HMAC-SHA-256, AES-CBC). password may be null. Returns 0 or the library's
// error code (MBEDTLS_ERR_PK_PASSWORD_REQUIRED, ..._PASSWORD_MISMATCH,
// MBEDTLS_ERR_PK_FILE_IO_ERROR, ...).
int parseKeyFile(mbedtls_pk_context* key, const std::string& path, const char* password);

}  // namespace vexa::tls
