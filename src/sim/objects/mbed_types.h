// RAII owners of the mbedTLS contexts the virtual device uses: each is
// initialised on construction and freed (its secrets wiped by mbedTLS) on
// destruction, on every path.
#pragma once

#include <mbedtls/bignum.h>
#include <mbedtls/cipher.h>
#include <mbedtls/ecp.h>
#include <mbedtls/md.h>
#include <mbedtls/rsa.h>
#include <mbedtls/x509_crt.h>

namespace vexa::sim {

template <typename T, void (*Init)(T*), void (*Free)(T*)>
class MbedOwner {
public:
    MbedOwner() { Init(&ctx_); }
    ~MbedOwner() { Free(&ctx_); }
    MbedOwner(const MbedOwner&) = delete;
    MbedOwner& operator=(const MbedOwner&) = delete;

    T* get() { return &ctx_; }
    const T* get() const { return &ctx_; }
    T* operator->() { return &ctx_; }
    const T* operator->() const { return &ctx_; }

private:
    T ctx_;
};

namespace mbed_detail {
inline void rsaInit(mbedtls_rsa_context* c) {
    mbedtls_rsa_init(c, MBEDTLS_RSA_PKCS_V15, 0);
}
}  // namespace mbed_detail

using Mpi = MbedOwner<mbedtls_mpi, mbedtls_mpi_init, mbedtls_mpi_free>;
using RsaContext = MbedOwner<mbedtls_rsa_context, mbed_detail::rsaInit, mbedtls_rsa_free>;
using EcKeypair =
    MbedOwner<mbedtls_ecp_keypair, mbedtls_ecp_keypair_init, mbedtls_ecp_keypair_free>;
using EcPoint = MbedOwner<mbedtls_ecp_point, mbedtls_ecp_point_init, mbedtls_ecp_point_free>;
using MdContext = MbedOwner<mbedtls_md_context_t, mbedtls_md_init, mbedtls_md_free>;
using CipherContext = MbedOwner<mbedtls_cipher_context_t, mbedtls_cipher_init, mbedtls_cipher_free>;
using X509Cert = MbedOwner<mbedtls_x509_crt, mbedtls_x509_crt_init, mbedtls_x509_crt_free>;

}  // namespace vexa::sim
