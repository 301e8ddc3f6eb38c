// RAII owners of mbedTLS contexts, for the daemon, the module and the
// virtual device alike: a context is initialised when its owner is made and
// freed (its secrets wiped by the library) when the owner goes, on every
// path. An owner is the context itself (it derives from it), so that
// `&owner` goes wherever the library takes the context's pointer and its
// fields read as before. Members of a struct are freed in the reverse order
// of their declaration: declare a configuration after what it refers to.
#pragma once

#include <mbedtls/cipher.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/md.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pem.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/ssl_cache.h>
#include <mbedtls/x509_crt.h>

namespace vexa::mbed {

template <typename T, void (*Init)(T*), void (*Free)(T*)>
class Owner : public T {
public:
    Owner() : T() { Init(this); }
    ~Owner() { Free(this); }
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;

    T* get() { return this; }
    const T* get() const { return this; }
    T* operator->() { return this; }
    const T* operator->() const { return this; }
};

using Cipher = Owner<mbedtls_cipher_context_t, mbedtls_cipher_init, mbedtls_cipher_free>;
using CtrDrbg = Owner<mbedtls_ctr_drbg_context, mbedtls_ctr_drbg_init, mbedtls_ctr_drbg_free>;
using Entropy = Owner<mbedtls_entropy_context, mbedtls_entropy_init, mbedtls_entropy_free>;
using Md = Owner<mbedtls_md_context_t, mbedtls_md_init, mbedtls_md_free>;
using Net = Owner<mbedtls_net_context, mbedtls_net_init, mbedtls_net_free>;
using Pem = Owner<mbedtls_pem_context, mbedtls_pem_init, mbedtls_pem_free>;
using Pk = Owner<mbedtls_pk_context, mbedtls_pk_init, mbedtls_pk_free>;
using Ssl = Owner<mbedtls_ssl_context, mbedtls_ssl_init, mbedtls_ssl_free>;
using SslCache = Owner<mbedtls_ssl_cache_context, mbedtls_ssl_cache_init, mbedtls_ssl_cache_free>;
using SslConfig = Owner<mbedtls_ssl_config, mbedtls_ssl_config_init, mbedtls_ssl_config_free>;
using SslSession = Owner<mbedtls_ssl_session, mbedtls_ssl_session_init, mbedtls_ssl_session_free>;
using X509Crt = Owner<mbedtls_x509_crt, mbedtls_x509_crt_init, mbedtls_x509_crt_free>;

}  // namespace vexa::mbed
