#include "sim/firmware/clock.h"

#include <cstdio>
#include <ctime>

#include "platform/platform.h"

namespace vexa::sim {

namespace {

int64_t monotonicSeconds() {
    return vexa::platform::monotonicNanoseconds() / 1000000000;
}

}  // namespace

void DeviceClock::set(uint64_t unixSeconds) {
    set_ = true;
    offset_ = static_cast<int64_t>(unixSeconds) - monotonicSeconds();
}

uint64_t DeviceClock::now() const {
    if (!set_) {
        return static_cast<uint64_t>(vexa::platform::unixTimeSeconds());
    }
    const int64_t t = offset_ + monotonicSeconds();
    return t < 0 ? 0 : static_cast<uint64_t>(t);
}

std::string DeviceClock::utcTime() const {
    const auto seconds = static_cast<std::time_t>(now());
    std::tm parts{};
    if (gmtime_r(&seconds, &parts) == nullptr) {
        return std::string(16, '0');
    }
    char text[64];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d00", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return std::string(text, 16);
}

}  // namespace vexa::sim
