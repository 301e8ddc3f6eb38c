// The mbedTLS contexts the virtual device uses, each behind the common
// owner (common/mbed_owner.h): initialised on construction and freed (its
// secrets wiped by mbedTLS) on destruction, on every path.
#pragma once

#include <mbedtls/aes.h>
#include <mbedtls/bignum.h>
#include <mbedtls/des.h>
#include <mbedtls/ecp.h>
#include <mbedtls/rsa.h>

#include "common/mbed_owner.h"

namespace vexa::sim {

template <typename T, void (*Init)(T*), void (*Free)(T*)>
using MbedOwner = mbed::Owner<T, Init, Free>;

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
using MdContext = mbed::Md;
using CipherContext = mbed::Cipher;
using X509Cert = mbed::X509Crt;
using AesContext = MbedOwner<mbedtls_aes_context, mbedtls_aes_init, mbedtls_aes_free>;
using DesContext = MbedOwner<mbedtls_des_context, mbedtls_des_init, mbedtls_des_free>;
using Des3Context = MbedOwner<mbedtls_des3_context, mbedtls_des3_init, mbedtls_des3_free>;

}  // namespace vexa::sim
