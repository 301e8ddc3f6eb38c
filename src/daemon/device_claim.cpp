#include "daemon/device_claim.h"

#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <exception>

#include "daemon/console.h"
#include "rpc/device_clear.h"
#include "transport/exceptions.h"
#include "transport/hid_transport.h"

namespace {

// Closes every session on the device. A device that is gone has lost them
// anyway; one that refuses is worth a line. True when the device confirmed.
bool ClearDevice(talvoranth::CHIDTransport& transport) {
    const CK_RV rv = vexa::rpc::closeAllDeviceSessions(transport, nullptr);
    if (rv != CKR_OK && transport.isOpen()) {
        ErrorLinef("Could not close the sessions on the device: 0x%lx",
                   static_cast<unsigned long>(rv));
    }
    return rv == CKR_OK;
}

}  // namespace

DeviceClaim::DeviceClaim(unsigned short vendorId, unsigned short productId,
                         const std::string& serial, int timeoutMs)
    : timeoutMs_(timeoutMs), transport_(std::make_unique<talvoranth::CHIDTransport>()) {
    transport_->setVendorProduct(vendorId, productId);
    transport_->setSerialNumber(serial);
    transport_->setExclusive(true);
    transport_->setClearRoutine([](talvoranth::CHIDTransport& t) { ClearDevice(t); });
}

DeviceClaim::~DeviceClaim() {
    try {
        if (claimed_ && transport_->isOpen()) {
            ClearDevice(*transport_);
        }
        transport_->close();
    } catch (...) {
        // Closing the transport cannot fail; clearing has reported itself.
    }
}

talvoranth::CTransport* DeviceClaim::claim(bool* reused) {
    *reused = claimed_;
    if (claimed_) {
        return transport_.get();
    }
    try {
        if (transport_->isOpen() && reclaimKeptOpen()) {
            *reused = true;
        } else {
            // The open waits this long for local programs to let go, and
            // clears the device once it holds it alone.
            transport_->setTimeout(kClaimWaitMs);
            transport_->open();
        }
        transport_->setTimeout(timeoutMs_);
        claimed_ = true;
        return transport_.get();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Error opening port: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "Error opening port: %s\n", "unknown error");
    }
    transport_->setTimeout(timeoutMs_);
    return nullptr;
}

// Takes the device kept open since the last client alone again and clears
// what local programs left meanwhile. False, with the device closed, when
// the clearing is not confirmed (the device vanished, was unplugged, or
// does not answer): the caller opens it afresh. Throws when local programs
// keep it past the wait, leaving it open for the next claim.
bool DeviceClaim::reclaimKeptOpen() {
    if (!transport_->rejoinAlone(kClaimWaitMs)) {
        throw talvoranth::IOException("Device in use by another process");
    }
    transport_->setTimeout(kClaimWaitMs);
    if (!ClearDevice(*transport_)) {
        transport_->close();
        return false;
    }
    return true;
}

void DeviceClaim::release() {
    if (!claimed_) {
        return;
    }
    claimed_ = false;
    // Kept open only when confirmed clean: otherwise the next claim opens
    // it afresh. Either way local programs count as alone from now on.
    try {
        if (transport_->isOpen() && ClearDevice(*transport_)) {
            transport_->leavePresence();
            return;
        }
    } catch (...) {
        // Clearing has reported itself; the device is closed below.
    }
    transport_->close();
}

void DeviceClaim::discard() {
    // A device that has just failed an exchange gets the claim's short wait
    // to confirm the clearing, not the full device time-out: one that does
    // not answer at all would otherwise hold the daemon that long again.
    transport_->setTimeout(kClaimWaitMs);
    try {
        if (claimed_ && transport_->isOpen()) {
            ClearDevice(*transport_);
        }
    } catch (...) {
        // Clearing has reported itself; the device is closed below anyway.
    }
    transport_->setTimeout(timeoutMs_);
    claimed_ = false;
    transport_->close();
}
