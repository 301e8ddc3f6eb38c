// The device's clock: the host sets it (function id 46) and it runs on
// from there; until set it follows the host's wall clock.
#pragma once

#include <cstdint>
#include <string>

namespace vexa::sim {

class DeviceClock {
public:
    // Sets the current time, seconds since 1970-01-01 UTC.
    void set(uint64_t unixSeconds);
    uint64_t now() const;
    // The time as CK_TOKEN_INFO.utcTime wants it: "YYYYMMDDhhmmss00".
    std::string utcTime() const;

private:
    bool set_ = false;
    int64_t offset_ = 0;  // set time minus the monotonic clock, seconds
};

}  // namespace vexa::sim
