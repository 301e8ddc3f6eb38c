// The firmware of one virtual device: decodes each request, dispatches it
// by function id through the handler table and encodes the response.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "sim/firmware/clock.h"
#include "sim/types/device_types.h"
#include "sim/crypto/device_random.h"
#include "sim/firmware/token.h"

namespace vexa::sim {

// What a new token starts with.
struct TokenSetup {
    std::string serial;   // 12 hex digits
    std::string product;  // "Vexa" or "Dorvik"
    std::string label = "Vexa Token";
    std::string soPin = "12345678";
    std::string userPin = "123456";
};

class Firmware {
public:
    // A fresh, initialised token with the setup's label and PINs.
    explicit Firmware(const TokenSetup& setup);

    // Answers one encoded request with one encoded response. A request that
    // cannot be decoded gets rv CKR_DEVICE_ERROR. Not thread-safe: the
    // caller holds the device lock.
    Bytes process(const uint8_t* request, size_t length);
    // The same on decoded values (tests and tools). Either way the request
    // is read as the message catalogue defines it for its function id.
    DeviceResponse call(const DeviceRequest& request);

    // Called after every call that changed what the state file keeps.
    void onPersistentChange(std::function<void()> callback) { persist_ = std::move(callback); }

    // The device lost power: every session closes, the token logs out.
    void powerCycle();

    Token& token() { return token_; }
    DeviceRandom& random() { return random_; }
    DeviceClock& clock() { return clock_; }

private:
    // Runs the handler of a request already read as the catalogue defines it.
    DeviceResponse dispatch(const DeviceRequest& request);

    Token token_;
    DeviceRandom random_;
    DeviceClock clock_;
    std::function<void()> persist_;
};

}  // namespace vexa::sim
