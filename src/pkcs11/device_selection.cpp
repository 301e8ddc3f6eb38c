#include "pkcs11/device_selection.h"

#include "common/hex.h"

namespace talvoranth {

bool DeviceId::isZero() const {
    for (uint8_t b : bytes) {
        if (b != 0) {
            return false;
        }
    }
    return true;
}

std::optional<DeviceId> deviceIdFromSerial(const std::string& serial) {
    if (serial.size() != kSerialDigits) {
        return std::nullopt;
    }
    DeviceId id;
    for (size_t i = 0; i < kSerialDigits / 2; ++i) {
        const int high = vexa::common::hexDigitValue(serial[2 * i]);
        const int low = vexa::common::hexDigitValue(serial[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        id.bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return id;
}

std::string serialFromDeviceId(const DeviceId& id) {
    return vexa::common::toHex(id.bytes.data(), kSerialDigits / 2, true);
}

std::vector<DeviceId> deviceIdsFromSerials(const std::vector<std::string>& serials) {
    std::vector<DeviceId> ids;
    for (const std::string& serial : serials) {
        if (std::optional<DeviceId> id = deviceIdFromSerial(serial)) {
            ids.push_back(*id);
        }
    }
    return ids;
}

}  // namespace talvoranth
