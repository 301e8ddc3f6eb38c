#include "transport/hid_device_match.h"

#include <cstdio>
#include <cwchar>
#include <exception>
#include <set>

namespace talvoranth {

namespace {
// The conversion area of the device texts; a text that fills it is cut to
// one byte less.
constexpr size_t kTextArea = 256;

bool equalsText(const std::optional<std::wstring>& wide, const std::string& text) {
    if (!wide) {
        return false;
    }
    std::optional<std::string> converted = toMultibyte(*wide);
    return converted && *converted == text;
}
}  // namespace

std::optional<std::string> toMultibyte(const std::wstring& text) {
    char area[kTextArea];
    const wchar_t* source = text.c_str();
    std::mbstate_t state{};
    const size_t n = std::wcsrtombs(area, &source, sizeof area, &state);
    if (n == static_cast<size_t>(-1)) {
        return std::nullopt;
    }
    return std::string(area, n < kTextArea ? n : kTextArea - 1);
}

bool qualifies(const HidDeviceInfo& record, uint16_t vendorId) {
    if (!record.serialNumber || record.serialNumber->empty() || !record.manufacturer) {
        return false;
    }
    return vendorId != 0 || *record.manufacturer == kVexaManufacturer;
}

bool matchesForOpen(const HidDeviceInfo& record, const HidFilter& filter) {
    if (!qualifies(record, filter.vendorId)) {
        return false;
    }
    if (filter.usagePage != 0 && filter.usagePage != record.usagePage) {
        return false;
    }
    const bool sameIds = record.vendorId == filter.vendorId && record.productId == filter.productId;
    if (filter.vendorId != 0 && !sameIds) {
        return false;
    }
    if (!filter.product.empty()) {
        return equalsText(record.product, filter.product) &&
               (filter.serialNumber.empty() ||
                equalsText(record.serialNumber, filter.serialNumber));
    }
    if (!filter.serialNumber.empty()) {
        return equalsText(record.serialNumber, filter.serialNumber);
    }
    return filter.vendorId != 0 && sameIds;
}

std::vector<std::string> listSerialNumbers(IHidBackend& backend, uint16_t vendorId,
                                           uint16_t productId) {
    try {
        std::set<std::string> serials;
        for (const HidDeviceInfo& record : backend.enumerate(vendorId, productId)) {
            if (qualifies(record, vendorId)) {
                if (std::optional<std::string> serial = toMultibyte(*record.serialNumber)) {
                    serials.insert(std::move(*serial));
                }
            }
        }
        return {serials.begin(), serials.end()};
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Exception while enumerating HID devices. (%s)\n", e.what());
        return {};
    }
}

std::vector<std::string> listSerialNumbers(uint16_t vendorId, uint16_t productId) {
    try {
        std::shared_ptr<IHidBackend> backend = selectHidBackend();
        return listSerialNumbers(*backend, vendorId, productId);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Exception while enumerating HID devices. (%s)\n", e.what());
        return {};
    }
}

}  // namespace talvoranth
