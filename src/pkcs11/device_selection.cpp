#include "pkcs11/device_selection.h"

namespace talvoranth {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

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
        const int high = hexValue(serial[2 * i]);
        const int low = hexValue(serial[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        id.bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return id;
}

std::string serialFromDeviceId(const DeviceId& id) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string serial;
    serial.reserve(kSerialDigits);
    for (size_t i = 0; i < kSerialDigits / 2; ++i) {
        serial.push_back(kDigits[id.bytes[i] >> 4]);
        serial.push_back(kDigits[id.bytes[i] & 0x0F]);
    }
    return serial;
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
