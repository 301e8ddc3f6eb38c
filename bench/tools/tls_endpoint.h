// mbedTLS TLS 1.2 endpoints of the ping-pong tool: a server that serves one
// client at a time, and a client. Every context is freed by its owner.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <string>

namespace vexa::bench {

struct TlsObjects {
    mbedtls_net_context net;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ssl_config conf;
    mbedtls_ssl_context ssl;
    mbedtls_x509_crt cert;
    mbedtls_pk_context key;

    TlsObjects();
    ~TlsObjects();
    TlsObjects(const TlsObjects&) = delete;
    TlsObjects& operator=(const TlsObjects&) = delete;
};

// The library's text for a code.
std::string tlsError(int code);

// Client: connects to host:port and completes the handshake (TLS 1.2;
// the CA file verifies the server when given). 0 or the failing code, with
// the step in *step.
int tlsConnect(TlsObjects& c, const std::string& host, const std::string& port,
               const std::string& caFile, std::string* step);

// Server configuration with the certificate and key; the listening socket
// in `listener`.
int tlsListen(TlsObjects& s, mbedtls_net_context& listener, const std::string& port,
              const std::string& certFile, const std::string& keyFile, std::string* step);

// Reads exactly n bytes; false on end or error.
bool tlsReadAll(mbedtls_ssl_context& ssl, unsigned char* buffer, size_t n);
// Writes all n bytes; false on error.
bool tlsWriteAll(mbedtls_ssl_context& ssl, const unsigned char* buffer, size_t n);

}  // namespace vexa::bench
