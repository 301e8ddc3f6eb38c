#include "daemon/shared_device.h"

#include "daemon/relay.h"

SharedDevice::SharedDevice(std::string serial)
    : claim_(kVexaVendorId, kVexaProductId, serial, kDeviceTimeoutMs) {}

SharedDevice::~SharedDevice() = default;

talvoranth::CTransport* SharedDevice::forClient(bool* reused) {
    return claim_.claim(reused);
}

void SharedDevice::failed() {
    claim_.discard();
}

void SharedDevice::clientLeft() {
    claim_.release();
}
