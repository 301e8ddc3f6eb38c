#include "sim/crypto/ec_ops.h"

#include <mbedtls/ecdh.h>
#include <mbedtls/ecdsa.h>
#include <p11-kit/pkcs11.h>

#include "sim/crypto/hashing.h"
#include "sim/crypto/message_signer.h"
#include "sim/objects/key_material.h"

namespace vexa::sim::crypto {
namespace {

// Raw ECDSA input is a hash; longer input is refused rather than gathered
// without bound.
constexpr size_t kMaxRawInput = 1024;

class EcdsaSigner final : public MessageSigner {
public:
    EcdsaSigner(std::unique_ptr<EcKeypair> key, Rng rng) : key_(std::move(key)), rng_(rng) {
        orderBytes_ = ((*key_)->grp.nbits + 7) / 8;
    }

    Rv start(const MechanismInfo& m) {
        return input_.start(m.family == Family::EcdsaHash ? m.hash : MBEDTLS_MD_NONE, kMaxRawInput);
    }

    size_t signatureLength() const override { return 2 * orderBytes_; }

    Rv signMessage(const Bytes& hash, Bytes* signature) override {
        Mpi r, s;
        if (mbedtls_ecdsa_sign(&(*key_)->grp, r.get(), s.get(), &(*key_)->d, hash.data(),
                               hash.size(), rng_.f, rng_.ctx) != 0) {
            return CKR_FUNCTION_FAILED;
        }
        *signature = signaturePair(*r.get(), *s.get(), orderBytes_);
        return signature->empty() ? CKR_FUNCTION_FAILED : CKR_OK;
    }

    Rv verifyMessage(const Bytes& hash, ByteView signature) override {
        Mpi r, s;
        if (mbedtls_mpi_read_binary(r.get(), signature.data, orderBytes_) != 0 ||
            mbedtls_mpi_read_binary(s.get(), signature.data + orderBytes_, orderBytes_) != 0) {
            return CKR_DEVICE_MEMORY;
        }
        return mbedtls_ecdsa_verify(&(*key_)->grp, hash.data(), hash.size(), &(*key_)->Q, r.get(),
                                    s.get()) == 0
                   ? CKR_OK
                   : CKR_SIGNATURE_INVALID;
    }

private:
    std::unique_ptr<EcKeypair> key_;
    Rng rng_;
    size_t orderBytes_ = 0;
};

}  // namespace

Rv makeEcdsaSigner(const MechanismInfo& m, const Object& key, bool sign, Rng rng,
                   std::unique_ptr<SignOperation>* out) {
    auto kp = std::make_unique<EcKeypair>();
    Rv rv = loadEc(key, sign, kp.get());
    if (rv != CKR_OK) {
        return rv == CKR_CURVE_NOT_SUPPORTED ? rv : CKR_KEY_TYPE_INCONSISTENT;
    }
    auto signer = std::make_unique<EcdsaSigner>(std::move(kp), rng);
    rv = signer->start(m);
    if (rv != CKR_OK) {
        return rv;
    }
    *out = std::move(signer);
    return CKR_OK;
}

Rv ecdhSharedSecret(const Object& privateKey, ByteView peerPoint, Rng rng, Bytes* secret) {
    EcKeypair kp;
    Rv rv = loadEc(privateKey, true, &kp);
    if (rv != CKR_OK) {
        return rv == CKR_CURVE_NOT_SUPPORTED ? rv : CKR_KEY_TYPE_INCONSISTENT;
    }
    const size_t fieldBytes = (kp->grp.pbits + 7) / 8;
    Bytes point;
    EcPoint q;
    if (!unwrapPoint(peerPoint, fieldBytes, &point) ||
        mbedtls_ecp_point_read_binary(&kp->grp, q.get(), point.data(), point.size()) != 0 ||
        mbedtls_ecp_check_pubkey(&kp->grp, q.get()) != 0) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    Mpi z;
    if (mbedtls_ecdh_compute_shared(&kp->grp, z.get(), q.get(), &kp->d, rng.f, rng.ctx) != 0) {
        return CKR_FUNCTION_FAILED;
    }
    Bytes out = mpiBytes(*z.get(), fieldBytes);
    if (out.empty()) {
        return CKR_FUNCTION_FAILED;
    }
    *secret = std::move(out);
    return CKR_OK;
}

}  // namespace vexa::sim::crypto
