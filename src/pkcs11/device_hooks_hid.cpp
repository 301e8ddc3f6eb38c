// The USB HID kind of the device hooks: one slot per attached device.
#include "rpc/device_clear.h"
#include "pkcs11/device_selection.h"
#include "transport/hid_device_match.h"
#include "transport/hid_transport.h"

namespace talvoranth {
namespace {

// Read time-out of a new HID transport until the module applies its own.
constexpr int kInitialTimeoutMs = 10000;

}  // namespace

DeviceHooks hidDeviceHooks() {
    DeviceHooks hooks;
    hooks.listDevices = [](const ModuleConfig& config) {
        return deviceIdsFromSerials(listSerialNumbers(config.vendorId, config.productId));
    };
    hooks.createTransport = [](const DeviceId& id, const ModuleConfig& config,
                               ILogTarget* log) -> std::unique_ptr<CTransport> {
        auto transport = std::make_unique<CHIDTransport>(log);
        transport->setTimeout(kInitialTimeoutMs);
        // The vendor id stays 0: the device is found by its manufacturer
        // string and serial number, not by the configured ids.
        transport->setSerialNumber(serialFromDeviceId(id));
        transport->setUsagePage(config.usagePage);
        transport->setExclusive(config.exclusiveDevice);
        // Opened with no other process holding the device: whatever is on it
        // was left by processes that are gone.
        transport->setClearRoutine([log](CHIDTransport& opened) {
            if (log != nullptr) {
                log->log(LOG_DEBUG, "No other process holds the device: closing what was left");
            }
            vexa::rpc::closeAllDeviceSessions(opened, log);
        });
        return transport;
    };
    hooks.productOf = [](CTransport& transport) {
        auto* hid = dynamic_cast<CHIDTransport*>(&transport);
        return hid != nullptr ? hid->product() : std::string();
    };
    return hooks;
}

}  // namespace talvoranth
