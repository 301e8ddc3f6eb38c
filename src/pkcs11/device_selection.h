// How the PKCS#11 module finds its devices and makes one transport for each:
// the device identifier, the two replaceable hooks (list the devices, create
// the transport for one of them) with their USB HID and remote-daemon kinds,
// and the one place where an exchange runs under a different time-out.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/module_config.h"
#include "log/log_target.h"
#include "transport/transport.h"

namespace talvoranth {

// Eight bytes naming one attached device. A USB HID device: bytes 0 to 5
// are its 12-digit hexadecimal serial number (the first two digits give byte
// 0), bytes 6 and 7 are 0. The one device behind a remote daemon: all zeros.
struct DeviceId {
    std::array<uint8_t, 8> bytes{};

    bool isZero() const;
    bool operator==(const DeviceId& other) const { return bytes == other.bytes; }
    bool operator!=(const DeviceId& other) const { return !(*this == other); }
};

// Only serial numbers of exactly this many hexadecimal digits name a device.
constexpr size_t kSerialDigits = 12;

// The id of a 12-digit hexadecimal serial number, digits in either case;
// nothing for any other text.
std::optional<DeviceId> deviceIdFromSerial(const std::string& serial);

// The serial number to open a device by: the 12 upper-case hexadecimal
// digits of bytes 0 to 5, high nibble first.
std::string serialFromDeviceId(const DeviceId& id);

// The ids of the serial numbers that name a device, in the order given.
std::vector<DeviceId> deviceIdsFromSerials(const std::vector<std::string>& serials);

// The replaceable pair (plus a describer) through which the module context
// reaches its devices. The context installs the HID kind and switches to the
// remote-daemon kind when the configuration names a daemon.
struct DeviceHooks {
    // Every attached device, in slot order.
    std::function<std::vector<DeviceId>(const ModuleConfig&)> listDevices;
    // A new, closed transport for one listed device, or nullptr when this kind
    // cannot reach that id. The log target is the module context.
    std::function<std::unique_ptr<CTransport>(const DeviceId&, const ModuleConfig&, ILogTarget*)>
        createTransport;
    // The product string of a transport's device ("Vexa", "Dorvik", ...):
    // the opened device's once it is open; "" when the kind has none.
    std::function<std::string(CTransport&)> productOf;
};

// USB HID: the serial numbers of the attached devices with the configured
// vendor and product id, ascending, 12-digit ones only; each transport is a
// CHIDTransport found by manufacturer string and serial number.
DeviceHooks hidDeviceHooks();

// Remote daemon: exactly one device, the all-zero id, reached by a
// TCPTransport to the configured address, port and CA bundle.
DeviceHooks ipDeviceHooks();

// Runs a transport at another read time-out for one scope and restores the
// previous value on every way out (key-pair generation, which can take much
// longer than any other request).
class CScopedTimeout {
public:
    CScopedTimeout(CTransport& transport, int milliseconds)
        : transport_(transport), saved_(transport.getTimeout()) {
        transport_.setTimeout(milliseconds);
    }
    ~CScopedTimeout() {
        try {
            transport_.setTimeout(saved_);
        } catch (...) {
            // A transport that cannot take a time-out keeps what it has.
        }
    }
    CScopedTimeout(const CScopedTimeout&) = delete;
    CScopedTimeout& operator=(const CScopedTimeout&) = delete;

private:
    CTransport& transport_;
    int saved_;
};

}  // namespace talvoranth
