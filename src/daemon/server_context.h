// The daemon's TLS library objects and listening socket, owned by RunServer
// for the whole of its run. Every client connection has its own TLS context
// over this one configuration.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/ssl_cache.h>
#include <mbedtls/x509_crt.h>

// Every member is initialised by the constructor (the socket to the closed
// state) and freed by the destructor, whichever way the server ends.
struct ServerContext {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ssl_config conf;
    mbedtls_x509_crt serverCert;
    mbedtls_x509_crt caChain;
    // CAs that client certificates must chain to ("clientca"); empty when
    // any client may connect.
    mbedtls_x509_crt clientCaChain;
    mbedtls_pk_context key;
    // Lets clients resume earlier sessions (library defaults: 86400 s, 50 entries).
    mbedtls_ssl_cache_context cache;
    mbedtls_net_context listener;

    ServerContext();
    ~ServerContext();
    ServerContext(const ServerContext&) = delete;
    ServerContext& operator=(const ServerContext&) = delete;
};
