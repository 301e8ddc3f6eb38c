#include "sim/firmware/pin.h"

#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>
#include <p11-kit/pkcs11.h>

#include <stdexcept>

#include "common/mbed_owner.h"
#include "sim/crypto/device_random.h"

namespace vexa::sim {

namespace {

constexpr size_t kSaltLength = 16;
constexpr size_t kHashLength = 32;
// Enough to make a stolen state file slow to search, few enough that a
// login stays quick on a loaded test machine.
constexpr uint32_t kIterations = 10000;

bool derive(const uint8_t* pin, size_t length, const Bytes& salt, uint32_t iterations,
            uint8_t* out) {
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
    mbed::Md md;
    return mbedtls_md_setup(&md, info, 1) == 0 &&
           mbedtls_pkcs5_pbkdf2_hmac(&md, pin, length, salt.data(), salt.size(), iterations,
                                     kHashLength, out) == 0;
}

}  // namespace

bool pinLengthValid(size_t length) {
    return length >= kMinPinLength && length <= kMaxPinLength;
}

PinRecord makePinRecord(const uint8_t* pin, size_t length, DeviceRandom& random) {
    PinRecord record;
    record.salt.resize(kSaltLength);
    record.hash.resize(kHashLength);
    record.iterations = kIterations;
    if (!random.generate(record.salt.data(), record.salt.size()) ||
        !derive(pin, length, record.salt, record.iterations, record.hash.data())) {
        throw std::runtime_error("a PIN record cannot be made");
    }
    record.set = true;
    return record;
}

bool pinMatches(const PinRecord& record, const uint8_t* pin, size_t length) {
    if (!record.set || record.hash.size() != kHashLength || record.iterations == 0) {
        return false;
    }
    uint8_t hash[kHashLength];
    if (!derive(pin, length, record.salt, record.iterations, hash)) {
        return false;
    }
    uint8_t difference = 0;
    for (size_t i = 0; i < kHashLength; ++i) {
        difference |= static_cast<uint8_t>(hash[i] ^ record.hash[i]);
    }
    return difference == 0;
}

uint32_t checkPin(PinRecord& record, const Bytes& pin) {
    if (!record.set) {
        return CKR_USER_PIN_NOT_INITIALIZED;
    }
    if (record.locked()) {
        return CKR_PIN_LOCKED;
    }
    if (pinMatches(record, pin.data(), pin.size())) {
        record.failures = 0;
        return CKR_OK;
    }
    // The attempt that uses up the last try is still answered as incorrect;
    // every later one, right or wrong, as locked.
    ++record.failures;
    return CKR_PIN_INCORRECT;
}

}  // namespace vexa::sim
