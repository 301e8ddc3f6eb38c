// One virtual Vexa device: its USB identity, its firmware and token, the
// U2FHID channels it handed out, its queued faults and its presence.
// Every connection to the device shares this object; its lock serialises
// the firmware.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "sim/device/faults.h"
#include "sim/device/u2f_framing.h"
#include "sim/device/wakeup.h"
#include "sim/firmware/firmware.h"
#include "device_link/virtual_wire.h"

namespace vexa::sim {

enum class Framing : uint8_t { U2f, Plain };

constexpr uint16_t kVendorId = 0x0483;
constexpr uint16_t kProductId = 0xA2AC;
constexpr const char* kManufacturer = "Talvoranth";

struct DeviceConfig {
    size_t index = 0;
    std::string serial;   // 12 upper-case hex digits
    std::string product;  // "Vexa" or "Dorvik"
    Framing framing = Framing::U2f;
    uint16_t reportLength = 64;  // without the report-id byte
    uint32_t settleMs = 500;
};

class VirtualDevice : public u2f::ChannelAllocator {
public:
    using Clock = std::chrono::steady_clock;

    VirtualDevice(DeviceConfig config, const TokenSetup& setup, Wakeup& wakeup);

    const DeviceConfig& config() const { return config_; }
    std::string path() const;
    virtual_wire::DeviceRecord record() const;

    // Present unless vanished; the generation changes with every vanish, so
    // a connection opened before it knows that its device has gone.
    bool present() const;
    uint64_t generation() const;
    void vanish(uint32_t milliseconds);

    // Runs one request through the firmware under the device lock.
    Bytes process(const Bytes& request);
    // Runs `action` on the token under the device lock (state file).
    void withToken(const std::function<void(Token&)>& action);
    // Called under the device lock after a change the state file keeps.
    void onPersistentChange(std::function<void(Token&)> callback);

    void queueFault(const Fault& fault);
    std::optional<Fault> takeFault();
    void clearFaults();

    // Counts the hosts' opens of the device (observable by control).
    void countOpen();
    uint64_t opens() const;

    uint32_t allocateChannel() override;
    bool channelAllocated(uint32_t channel) const override;

private:
    DeviceConfig config_;
    Wakeup& wakeup_;
    mutable std::mutex mutex_;
    Firmware firmware_;
    std::deque<Fault> faults_;
    uint32_t firstChannel_;
    uint32_t lastChannel_;
    uint64_t generation_ = 0;
    uint64_t opens_ = 0;
    Clock::time_point absentUntil_{};
};

}  // namespace vexa::sim
