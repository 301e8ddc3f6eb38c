// mbedTLS TLS 1.2 endpoints of the ping-pong tool: a server that serves one
// client at a time, and a client. Every context is freed by its owner.
#pragma once

#include <string>

#include "common/mbed_owner.h"

namespace vexa::bench {

struct TlsObjects {
    // Freed in the reverse order: each context before what it refers to.
    mbed::Net net;
    mbed::Pk key;
    mbed::X509Crt cert;
    mbed::Entropy entropy;
    mbed::CtrDrbg drbg;
    mbed::SslConfig conf;
    mbed::Ssl ssl;
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
