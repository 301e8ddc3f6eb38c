#include "sim/crypto/dsa_dh_ops.h"

#include <p11-kit/pkcs11.h>

#include "sim/crypto/hashing.h"
#include "sim/crypto/message_signer.h"
#include "sim/objects/key_material.h"

namespace vexa::sim::crypto {
namespace {

// Raw DSA input is a hash; longer input is refused rather than gathered
// without bound.
constexpr size_t kMaxRawInput = 1024;
// Miller-Rabin rounds of the primality tests.
constexpr int kPrimeRounds = 40;

// Reads an attribute as a number; false when absent, empty or unreadable.
bool numberOf(const Object& o, uint32_t type, Mpi* out) {
    const Bytes* v = o.get(type);
    return v != nullptr && !v->empty() &&
           mbedtls_mpi_read_binary(out->get(), v->data(), v->size()) == 0;
}

bool ok(int mbedtlsResult) {
    return mbedtlsResult == 0;
}

// A uniform number in 1..n-1.
bool randomBelow(const Mpi& n, Rng rng, Mpi* out) {
    const size_t bytes = mbedtls_mpi_size(n.get()) + 8;
    Mpi wide;
    do {
        if (!ok(mbedtls_mpi_fill_random(wide.get(), bytes, rng.f, rng.ctx)) ||
            !ok(mbedtls_mpi_mod_mpi(out->get(), wide.get(), n.get()))) {
            return false;
        }
    } while (mbedtls_mpi_cmp_int(out->get(), 0) == 0);
    return true;
}

// z: the leftmost bits of the hash, as many as q has (FIPS 186-4, 4.6).
bool hashNumber(const Bytes& hash, const Mpi& q, Mpi* z) {
    const size_t qBits = mbedtls_mpi_bitlen(q.get());
    const size_t take = std::min(hash.size(), (qBits + 7) / 8);
    if (!ok(mbedtls_mpi_read_binary(z->get(), hash.data(), take))) {
        return false;
    }
    return take * 8 <= qBits || ok(mbedtls_mpi_shift_r(z->get(), take * 8 - qBits));
}

struct DsaKey {
    Mpi p, q, g, value;  // value: x (private) or y (public)
};

Rv loadDsa(const Object& key, DsaKey* out) {
    if (!numberOf(key, CKA_PRIME, &out->p) || !numberOf(key, CKA_SUBPRIME, &out->q) ||
        !numberOf(key, CKA_BASE, &out->g) || !numberOf(key, CKA_VALUE, &out->value)) {
        return CKR_KEY_TYPE_INCONSISTENT;
    }
    return CKR_OK;
}

class DsaSigner final : public MessageSigner {
public:
    DsaSigner(std::unique_ptr<DsaKey> key, Rng rng) : key_(std::move(key)), rng_(rng) {
        qBytes_ = mbedtls_mpi_size(key_->q.get());
    }

    Rv start(const MechanismInfo& m) { return input_.start(m.hash, kMaxRawInput); }

    size_t signatureLength() const override { return 2 * qBytes_; }

    Rv signMessage(const Bytes& hash, Bytes* signature) override {
        const DsaKey& k = *key_;
        Mpi z, nonce, r, s, t;
        if (!hashNumber(hash, k.q, &z)) {
            return CKR_DEVICE_MEMORY;
        }
        for (;;) {
            // r = (g^k mod p) mod q; s = k^-1 (z + x r) mod q; neither 0.
            if (!randomBelow(k.q, rng_, &nonce) ||
                !ok(mbedtls_mpi_exp_mod(t.get(), k.g.get(), nonce.get(), k.p.get(), nullptr)) ||
                !ok(mbedtls_mpi_mod_mpi(r.get(), t.get(), k.q.get())) ||
                !ok(mbedtls_mpi_mul_mpi(t.get(), k.value.get(), r.get())) ||
                !ok(mbedtls_mpi_add_mpi(t.get(), t.get(), z.get())) ||
                !ok(mbedtls_mpi_inv_mod(s.get(), nonce.get(), k.q.get())) ||
                !ok(mbedtls_mpi_mul_mpi(s.get(), s.get(), t.get())) ||
                !ok(mbedtls_mpi_mod_mpi(s.get(), s.get(), k.q.get()))) {
                return CKR_FUNCTION_FAILED;
            }
            if (mbedtls_mpi_cmp_int(r.get(), 0) != 0 && mbedtls_mpi_cmp_int(s.get(), 0) != 0) {
                break;
            }
        }
        *signature = signaturePair(*r.get(), *s.get(), qBytes_);
        return signature->empty() ? CKR_FUNCTION_FAILED : CKR_OK;
    }

    Rv verifyMessage(const Bytes& hash, ByteView signature) override {
        const DsaKey& k = *key_;
        Mpi r, s, z, w, u1, u2, v1, v2;
        if (!ok(mbedtls_mpi_read_binary(r.get(), signature.data, qBytes_)) ||
            !ok(mbedtls_mpi_read_binary(s.get(), signature.data + qBytes_, qBytes_)) ||
            !hashNumber(hash, k.q, &z)) {
            return CKR_DEVICE_MEMORY;
        }
        // 0 < r < q and 0 < s < q, else the signature is not one.
        if (mbedtls_mpi_cmp_int(r.get(), 0) <= 0 || mbedtls_mpi_cmp_mpi(r.get(), k.q.get()) >= 0 ||
            mbedtls_mpi_cmp_int(s.get(), 0) <= 0 || mbedtls_mpi_cmp_mpi(s.get(), k.q.get()) >= 0) {
            return CKR_SIGNATURE_INVALID;
        }
        // v = (g^(z w) y^(r w) mod p) mod q with w = s^-1 mod q.
        if (!ok(mbedtls_mpi_inv_mod(w.get(), s.get(), k.q.get())) ||
            !ok(mbedtls_mpi_mul_mpi(u1.get(), z.get(), w.get())) ||
            !ok(mbedtls_mpi_mod_mpi(u1.get(), u1.get(), k.q.get())) ||
            !ok(mbedtls_mpi_mul_mpi(u2.get(), r.get(), w.get())) ||
            !ok(mbedtls_mpi_mod_mpi(u2.get(), u2.get(), k.q.get())) ||
            !ok(mbedtls_mpi_exp_mod(v1.get(), k.g.get(), u1.get(), k.p.get(), nullptr)) ||
            !ok(mbedtls_mpi_exp_mod(v2.get(), k.value.get(), u2.get(), k.p.get(), nullptr)) ||
            !ok(mbedtls_mpi_mul_mpi(v1.get(), v1.get(), v2.get())) ||
            !ok(mbedtls_mpi_mod_mpi(v1.get(), v1.get(), k.p.get())) ||
            !ok(mbedtls_mpi_mod_mpi(v1.get(), v1.get(), k.q.get()))) {
            return CKR_FUNCTION_FAILED;
        }
        return mbedtls_mpi_cmp_mpi(v1.get(), r.get()) == 0 ? CKR_OK : CKR_SIGNATURE_INVALID;
    }

private:
    std::unique_ptr<DsaKey> key_;
    Rng rng_;
    size_t qBytes_ = 0;
};

bool fieldSizeOk(const Mpi& p) {
    const size_t bits = mbedtls_mpi_bitlen(p.get());
    return bits >= kMinFieldBits && bits <= kMaxFieldBits;
}

// A private value x in 1..limit-1 (with bit `topBit` set too, when given)
// and the public value g^x mod p.
Rv makeValues(Rng rng, const Mpi& p, const Mpi& g, const Mpi& limit, Object* pub, Object* priv,
              size_t topBit = 0) {
    Mpi x, y;
    if (!randomBelow(limit, rng, &x) ||
        (topBit != 0 && !ok(mbedtls_mpi_set_bit(x.get(), topBit, 1))) ||
        !ok(mbedtls_mpi_exp_mod(y.get(), g.get(), x.get(), p.get(), nullptr))) {
        return CKR_FUNCTION_FAILED;
    }
    pub->set(CKA_VALUE, mpiBytes(*y.get()));
    priv->set(CKA_VALUE, mpiBytes(*x.get()));
    return CKR_OK;
}

}  // namespace

Rv makeDsaSigner(const MechanismInfo& m, const Object& key, bool sign, Rng rng,
                 std::unique_ptr<SignOperation>* out) {
    (void)sign;
    auto k = std::make_unique<DsaKey>();
    if (Rv rv = loadDsa(key, k.get()); rv != CKR_OK) {
        return rv;
    }
    auto signer = std::make_unique<DsaSigner>(std::move(k), rng);
    if (Rv rv = signer->start(m); rv != CKR_OK) {
        return rv;
    }
    *out = std::move(signer);
    return CKR_OK;
}

Rv generateDsaParameters(Rng rng, uint32_t primeBits, Object* params) {
    if (primeBits < kMinFieldBits || primeBits > kMaxFieldBits) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    // q first, then p = X - (X mod 2q) + 1 for random X of primeBits bits
    // until p is prime (FIPS 186 style), then g = h^((p-1)/q) mod p != 1.
    const size_t qBits = primeBits >= 2048 ? 256 : 160;
    Mpi q, p, x, twoQ, rem, e, h, g;
    if (!ok(mbedtls_mpi_gen_prime(q.get(), qBits, 0, rng.f, rng.ctx)) ||
        !ok(mbedtls_mpi_mul_int(twoQ.get(), q.get(), 2))) {
        return CKR_FUNCTION_FAILED;
    }
    for (;;) {
        if (!ok(mbedtls_mpi_fill_random(x.get(), primeBits / 8, rng.f, rng.ctx)) ||
            !ok(mbedtls_mpi_set_bit(x.get(), primeBits - 1, 1)) ||
            !ok(mbedtls_mpi_mod_mpi(rem.get(), x.get(), twoQ.get())) ||
            !ok(mbedtls_mpi_sub_mpi(p.get(), x.get(), rem.get())) ||
            !ok(mbedtls_mpi_add_int(p.get(), p.get(), 1))) {
            return CKR_FUNCTION_FAILED;
        }
        if (mbedtls_mpi_bitlen(p.get()) != primeBits) {
            continue;
        }
        const int prime = mbedtls_mpi_is_prime_ext(p.get(), kPrimeRounds, rng.f, rng.ctx);
        if (prime == 0) {
            break;
        }
        if (prime != MBEDTLS_ERR_MPI_NOT_ACCEPTABLE) {
            return CKR_FUNCTION_FAILED;
        }
    }
    // e = (p - 1) / q
    if (!ok(mbedtls_mpi_sub_int(e.get(), p.get(), 1)) ||
        !ok(mbedtls_mpi_div_mpi(e.get(), nullptr, e.get(), q.get()))) {
        return CKR_FUNCTION_FAILED;
    }
    for (int base = 2;; ++base) {
        if (!ok(mbedtls_mpi_lset(h.get(), base)) ||
            !ok(mbedtls_mpi_exp_mod(g.get(), h.get(), e.get(), p.get(), nullptr))) {
            return CKR_FUNCTION_FAILED;
        }
        if (mbedtls_mpi_cmp_int(g.get(), 1) != 0) {
            break;
        }
    }
    setNumbers(params, {{CKA_PRIME, p.get()}, {CKA_SUBPRIME, q.get()}, {CKA_BASE, g.get()}});
    return CKR_OK;
}

Rv generateDhParameters(Rng rng, uint32_t primeBits, Object* params) {
    if (primeBits < kMinFieldBits || primeBits > kMaxFieldBits) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    Mpi p;
    if (!ok(mbedtls_mpi_gen_prime(p.get(), primeBits, MBEDTLS_MPI_GEN_PRIME_FLAG_DH, rng.f,
                                  rng.ctx))) {
        return CKR_FUNCTION_FAILED;
    }
    params->set(CKA_PRIME, mpiBytes(*p.get()));
    params->set(CKA_BASE, Bytes{2});
    return CKR_OK;
}

Rv generateDsaKeyPair(Rng rng, Object* pub, Object* priv) {
    DsaKey k;
    if (!numberOf(*pub, CKA_PRIME, &k.p) || !numberOf(*pub, CKA_SUBPRIME, &k.q) ||
        !numberOf(*pub, CKA_BASE, &k.g)) {
        return CKR_TEMPLATE_INCOMPLETE;
    }
    if (!fieldSizeOk(k.p)) {
        return CKR_KEY_SIZE_RANGE;
    }
    for (uint32_t type : {CKA_PRIME, CKA_SUBPRIME, CKA_BASE}) {
        priv->set(type, *pub->get(type));
    }
    return makeValues(rng, k.p, k.g, k.q, pub, priv);
}

Rv generateDhKeyPair(Rng rng, Object* pub, Object* priv) {
    Mpi p, g, limit;
    if (!numberOf(*pub, CKA_PRIME, &p) || !numberOf(*pub, CKA_BASE, &g)) {
        return CKR_TEMPLATE_INCOMPLETE;
    }
    if (!fieldSizeOk(p)) {
        return CKR_KEY_SIZE_RANGE;
    }
    // x of exactly CKA_VALUE_BITS bits when the private template asks for
    // a size (the top bit set over random lower bits), else below p - 1.
    const uint32_t valueBits = priv->ulong(CKA_VALUE_BITS, 0);
    if (valueBits != 0) {
        if (valueBits < 2 || valueBits >= mbedtls_mpi_bitlen(p.get()) ||
            !ok(mbedtls_mpi_lset(limit.get(), 1)) ||
            !ok(mbedtls_mpi_shift_l(limit.get(), valueBits - 1))) {
            return CKR_ATTRIBUTE_VALUE_INVALID;
        }
    } else if (!ok(mbedtls_mpi_sub_int(limit.get(), p.get(), 1))) {
        return CKR_DEVICE_MEMORY;
    }
    priv->set(CKA_PRIME, *pub->get(CKA_PRIME));
    priv->set(CKA_BASE, *pub->get(CKA_BASE));
    const size_t topBit = valueBits != 0 ? valueBits - 1 : 0;
    if (Rv rv = makeValues(rng, p, g, limit, pub, priv, topBit); rv != CKR_OK) {
        return rv;
    }
    Mpi x;
    if (!numberOf(*priv, CKA_VALUE, &x)) {
        return CKR_FUNCTION_FAILED;
    }
    priv->setUlong(CKA_VALUE_BITS, static_cast<uint32_t>(mbedtls_mpi_bitlen(x.get())));
    return CKR_OK;
}

Rv dhSharedSecret(const Object& privateKey, ByteView peerValue, Bytes* secret) {
    Mpi p, x, y, pMinus1, z;
    if (!numberOf(privateKey, CKA_PRIME, &p) || !numberOf(privateKey, CKA_VALUE, &x)) {
        return CKR_KEY_TYPE_INCONSISTENT;
    }
    if (peerValue.size == 0 ||
        !ok(mbedtls_mpi_read_binary(y.get(), peerValue.data, peerValue.size)) ||
        !ok(mbedtls_mpi_sub_int(pMinus1.get(), p.get(), 1))) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    // 1 and p-1 (and anything outside the group) would give away the secret.
    if (mbedtls_mpi_cmp_int(y.get(), 1) <= 0 || mbedtls_mpi_cmp_mpi(y.get(), pMinus1.get()) >= 0) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    if (!ok(mbedtls_mpi_exp_mod(z.get(), y.get(), x.get(), p.get(), nullptr))) {
        return CKR_FUNCTION_FAILED;
    }
    *secret = mpiBytes(*z.get(), mbedtls_mpi_size(p.get()));
    return secret->empty() ? CKR_FUNCTION_FAILED : CKR_OK;
}

}  // namespace vexa::sim::crypto
