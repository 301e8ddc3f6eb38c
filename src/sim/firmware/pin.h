// PIN records: a PIN is kept only as a salted PBKDF2-HMAC-SHA256 hash,
// together with its count of consecutive failures.
#pragma once

#include <cstdint>

#include "sim/types/device_types.h"

namespace vexa::sim {

class DeviceRandom;

// PIN length limits of the token (bytes).
constexpr uint32_t kMinPinLength = 4;
constexpr uint32_t kMaxPinLength = 32;
// Consecutive wrong PINs after which the PIN is locked.
constexpr uint32_t kMaxPinFailures = 3;

struct PinRecord {
    bool set = false;
    Bytes salt;
    Bytes hash;
    uint32_t iterations = 0;
    uint32_t failures = 0;

    bool locked() const { return set && failures >= kMaxPinFailures; }
};

bool pinLengthValid(size_t length);

// A record for `pin` with a fresh salt; the failure count starts at 0.
PinRecord makePinRecord(const uint8_t* pin, size_t length, DeviceRandom& random);

// True when `pin` matches the record (constant-time comparison). Does not
// touch the failure count.
bool pinMatches(const PinRecord& record, const uint8_t* pin, size_t length);

// Checks `pin` against the record and keeps the failure count: CKR_OK,
// CKR_PIN_INCORRECT, or CKR_PIN_LOCKED once kMaxPinFailures wrong PINs
// came in a row (then without trying the PIN). A record that is not set
// answers CKR_USER_PIN_NOT_INITIALIZED.
uint32_t checkPin(PinRecord& record, const Bytes& pin);

}  // namespace vexa::sim
