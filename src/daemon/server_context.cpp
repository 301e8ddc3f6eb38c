#include "daemon/server_context.h"

ServerContext::ServerContext() {
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    mbedtls_ssl_config_init(&conf);
    mbedtls_x509_crt_init(&serverCert);
    mbedtls_x509_crt_init(&caChain);
    mbedtls_x509_crt_init(&clientCaChain);
    mbedtls_pk_init(&key);
    mbedtls_ssl_cache_init(&cache);
    mbedtls_net_init(&listener);
}

// The configuration goes before the certificates, key, cache and generator it uses.
ServerContext::~ServerContext() {
    mbedtls_ssl_config_free(&conf);
    mbedtls_ssl_cache_free(&cache);
    mbedtls_pk_free(&key);
    mbedtls_x509_crt_free(&clientCaChain);
    mbedtls_x509_crt_free(&caChain);
    mbedtls_x509_crt_free(&serverCert);
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
    mbedtls_net_free(&listener);
}
