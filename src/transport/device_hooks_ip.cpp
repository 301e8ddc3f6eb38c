// The remote-daemon kind of the device hooks: one device, reached over TLS.
#include "transport/device_selection.h"
#include "transport/tcp_transport.h"

namespace talvoranth {

DeviceHooks ipDeviceHooks() {
    DeviceHooks hooks;
    hooks.listDevices = [](const ModuleConfig&) { return std::vector<DeviceId>{DeviceId{}}; };
    hooks.createTransport = [](const DeviceId& id, const ModuleConfig& config,
                               ILogTarget* log) -> std::unique_ptr<CTransport> {
        if (!id.isZero()) {
            return nullptr;
        }
        return std::make_unique<TCPTransport>(config.address, config.port, config.caBundle, log);
    };
    hooks.productOf = [](CTransport&) { return std::string(); };
    return hooks;
}

}  // namespace talvoranth
