#include "daemon/shared_device.h"

#include <utility>

#include "daemon/relay.h"

SharedDevice::SharedDevice(std::string serial) : serial_(std::move(serial)) {}

SharedDevice::~SharedDevice() = default;

talvoranth::CTransport* SharedDevice::forClient(bool* reused) {
    *reused = claim_ != nullptr;
    if (!claim_) {
        claim_ = DeviceClaim::claim(kVexaVendorId, kVexaProductId, serial_, kDeviceTimeoutMs);
    }
    return claim_ ? claim_->transport() : nullptr;
}

void SharedDevice::failed() {
    claim_.reset();
}

void SharedDevice::clientLeft() {
    claim_.reset();
}
