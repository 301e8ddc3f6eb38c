#include "sim/device/virtual_device.h"

namespace vexa::sim {

namespace {

// Usage pages the device reports: the FIDO page for the U2FHID framing, a
// vendor page for the plain one.
constexpr uint16_t kU2fUsagePage = 0xF1D0;
constexpr uint16_t kVendorUsagePage = 0xFF00;

}  // namespace

VirtualDevice::VirtualDevice(DeviceConfig config, const TokenSetup& setup, Wakeup& wakeup)
    : config_(std::move(config)), wakeup_(wakeup), firmware_(setup) {
    // Each device numbers its channels from its own base, so that a host
    // that mixes up two devices' channels is caught.
    firstChannel_ = static_cast<uint32_t>((config_.index + 1) % 0x7FFF) << 16;
    lastChannel_ = firstChannel_;
}

std::string VirtualDevice::path() const {
    return "vexa-sim:" + std::to_string(config_.index);
}

virtual_wire::DeviceRecord VirtualDevice::record() const {
    virtual_wire::DeviceRecord r;
    r.path = path();
    r.vendorId = kVendorId;
    r.productId = kProductId;
    r.serialNumber = config_.serial;
    r.manufacturer = kManufacturer;
    r.product = config_.product;
    r.usagePage = config_.framing == Framing::U2f ? kU2fUsagePage : kVendorUsagePage;
    r.usage = 1;
    r.reportLength = config_.reportLength;
    return r;
}

bool VirtualDevice::present() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Clock::now() >= absentUntil_;
}

uint64_t VirtualDevice::generation() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return generation_;
}

void VirtualDevice::vanish(uint32_t milliseconds) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++generation_;
        absentUntil_ = Clock::now() + std::chrono::milliseconds(milliseconds);
        faults_.clear();
        firmware_.powerCycle();
    }
    wakeup_.notifyAll();
}

Bytes VirtualDevice::process(const Bytes& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    return firmware_.process(request.data(), request.size());
}

void VirtualDevice::withToken(const std::function<void(Token&)>& action) {
    std::lock_guard<std::mutex> lock(mutex_);
    action(firmware_.token());
}

void VirtualDevice::onPersistentChange(std::function<void(Token&)> callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    firmware_.onPersistentChange(
        [this, callback = std::move(callback)] { callback(firmware_.token()); });
}

void VirtualDevice::queueFault(const Fault& fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(fault);
}

std::optional<Fault> VirtualDevice::takeFault() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (faults_.empty()) {
        return std::nullopt;
    }
    Fault fault = faults_.front();
    faults_.pop_front();
    return fault;
}

void VirtualDevice::clearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
}

void VirtualDevice::countOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++opens_;
}

uint64_t VirtualDevice::opens() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return opens_;
}

uint32_t VirtualDevice::allocateChannel() {
    std::lock_guard<std::mutex> lock(mutex_);
    // Channels count up from the device's base; 0 and the broadcast
    // channel are never handed out.
    ++lastChannel_;
    if (lastChannel_ == 0 || lastChannel_ == u2fhid::kBroadcastChannel) {
        firstChannel_ = 0;
        lastChannel_ = 1;
    }
    return lastChannel_;
}

bool VirtualDevice::channelAllocated(uint32_t channel) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return channel > firstChannel_ && channel <= lastChannel_;
}

}  // namespace vexa::sim
