#include "daemon/shared_device.h"

#include <utility>

#include "daemon/relay.h"
#include "transport/port.h"

void SharedDevice::Closer::operator()(talvoranth::CTransport* transport) const {
    port_close(transport);
    delete transport;
}

SharedDevice::SharedDevice(std::string serial) : serial_(std::move(serial)) {}

SharedDevice::~SharedDevice() = default;

talvoranth::CTransport* SharedDevice::forClient(bool* reused) {
    *reused = link_ != nullptr;
    if (!link_) {
        link_.reset(
            port_open(kVexaVendorId, kVexaProductId, kDeviceTimeoutMs, nullptr, serial_.c_str()));
    }
    return link_.get();
}

void SharedDevice::failed() {
    link_.reset();
}

void SharedDevice::clientLeft() {
    // The device stays open for the next client.
}
