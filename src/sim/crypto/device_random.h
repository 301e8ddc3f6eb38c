// The device's random number generator: mbedTLS CTR-DRBG seeded from the
// default entropy source. Not thread-safe; the device lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vexa::sim {

class DeviceRandom {
public:
    // `personalisation` separates the streams of several devices.
    explicit DeviceRandom(const std::string& personalisation);
    ~DeviceRandom();
    DeviceRandom(const DeviceRandom&) = delete;
    DeviceRandom& operator=(const DeviceRandom&) = delete;

    // Fills `out` with `length` random bytes; false on a generator failure.
    bool generate(uint8_t* out, size_t length);
    // Mixes caller-supplied seed material into the generator together with
    // fresh entropy; false on a generator failure.
    bool reseed(const uint8_t* seed, size_t length);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vexa::sim
