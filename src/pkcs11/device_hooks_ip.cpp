// The remote-daemon kind of the device hooks: one device, reached over TLS.
#include "pkcs11/device_selection.h"
#include "transport/tcp_transport.h"

namespace talvoranth {

DeviceHooks ipDeviceHooks() {
    DeviceHooks hooks;
    // A daemon named in a configuration that cannot be used offers nothing.
    hooks.listDevices = [](const ModuleConfig& config) {
        return config.transportFault.empty() ? std::vector<DeviceId>{DeviceId{}}
                                             : std::vector<DeviceId>{};
    };
    hooks.createTransport = [](const DeviceId& id, const ModuleConfig& config,
                               ILogTarget* log) -> std::unique_ptr<CTransport> {
        if (!id.isZero()) {
            return nullptr;
        }
        auto transport =
            std::make_unique<TCPTransport>(config.address, config.port, config.caBundle, log);
        if (!config.clientCert.empty()) {
            transport->setClientCertificate(config.clientCert, config.clientKey);
        }
        return transport;
    };
    hooks.productOf = [](CTransport&) { return std::string(); };
    return hooks;
}

}  // namespace talvoranth
