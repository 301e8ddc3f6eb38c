#include "daemon/device_claim.h"

#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <exception>

#include "daemon/console.h"
#include "rpc/device_clear.h"
#include "transport/hid_transport.h"

namespace {

// Closes every session on the device. A device that is gone has lost them
// anyway; one that refuses is worth a line.
void ClearDevice(talvoranth::CHIDTransport& transport) {
    const CK_RV rv = vexa::rpc::closeAllDeviceSessions(transport, nullptr);
    if (rv != CKR_OK && transport.isOpen()) {
        ErrorLinef("Could not close the sessions on the device: 0x%lx",
                   static_cast<unsigned long>(rv));
    }
}

}  // namespace

DeviceClaim::DeviceClaim(std::unique_ptr<talvoranth::CHIDTransport> transport)
    : transport_(std::move(transport)) {}

std::unique_ptr<DeviceClaim> DeviceClaim::claim(unsigned short vendorId, unsigned short productId,
                                                const std::string& serial, int timeoutMs) {
    try {
        auto transport = std::make_unique<talvoranth::CHIDTransport>();
        transport->setVendorProduct(vendorId, productId);
        transport->setSerialNumber(serial);
        transport->setExclusive(true);
        transport->setClearRoutine(ClearDevice);
        // The open waits this long for local programs to let go.
        transport->setTimeout(kClaimWaitMs);
        transport->open();
        transport->setTimeout(timeoutMs);
        return std::unique_ptr<DeviceClaim>(new DeviceClaim(std::move(transport)));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Error opening port: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "Error opening port: %s\n", "unknown error");
    }
    return nullptr;
}

DeviceClaim::~DeviceClaim() {
    try {
        if (transport_->isOpen()) {
            ClearDevice(*transport_);
        }
        transport_->close();
    } catch (...) {
        // Closing the transport cannot fail; clearing has reported itself.
    }
}

talvoranth::CTransport* DeviceClaim::transport() {
    return transport_.get();
}
