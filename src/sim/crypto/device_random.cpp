#include "sim/crypto/device_random.h"

#include <mbedtls/sha256.h>

#include <new>
#include <stdexcept>

#include "common/mbed_owner.h"

namespace vexa::sim {

// The generator goes before the entropy source it draws from.
struct DeviceRandom::State {
    mbed::Entropy entropy;
    mbed::CtrDrbg drbg;
};

DeviceRandom::DeviceRandom(const std::string& personalisation) : state_(std::make_unique<State>()) {
    const auto* custom = reinterpret_cast<const unsigned char*>(personalisation.data());
    if (mbedtls_ctr_drbg_seed(&state_->drbg, mbedtls_entropy_func, &state_->entropy, custom,
                              personalisation.size()) != 0) {
        throw std::runtime_error("the random number generator cannot be seeded");
    }
}

DeviceRandom::~DeviceRandom() = default;

bool DeviceRandom::generate(uint8_t* out, size_t length) {
    // The generator hands out at most MBEDTLS_CTR_DRBG_MAX_REQUEST bytes
    // per call.
    while (length > 0) {
        const size_t piece =
            length < MBEDTLS_CTR_DRBG_MAX_REQUEST ? length : MBEDTLS_CTR_DRBG_MAX_REQUEST;
        if (mbedtls_ctr_drbg_random(&state_->drbg, out, piece) != 0) {
            return false;
        }
        out += piece;
        length -= piece;
    }
    return true;
}

bool DeviceRandom::reseed(const uint8_t* seed, size_t length) {
    // Any seed length is accepted: it is condensed to one SHA-256 value,
    // which fits the generator's additional-input limit.
    unsigned char digest[32];
    if (mbedtls_sha256_ret(seed, length, digest, 0) != 0) {
        return false;
    }
    const bool ok = mbedtls_ctr_drbg_reseed(&state_->drbg, digest, sizeof digest) == 0;
    mbedtls_platform_zeroize(digest, sizeof digest);
    return ok;
}

}  // namespace vexa::sim
