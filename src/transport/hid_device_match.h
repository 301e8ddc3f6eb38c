// Which enumerated HID devices the transport takes: the device match shared
// by CHIDTransport::open and listSerialNumbers, and the conversion of the
// devices' wide texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "transport/hid_backend.h"

namespace talvoranth {

// The manufacturer string that admits a device when no vendor id is given.
constexpr const wchar_t* kVexaManufacturer = L"Talvoranth";

// A device's wide text as multibyte text (the current locale's wide to
// multibyte conversion), cut to 255 bytes. Nothing when the text holds a
// character the locale cannot express.
std::optional<std::string> toMultibyte(const std::wstring& text);

// A record qualifies when it has a non-empty serial number and a
// manufacturer string, and, when vendorId is 0, that manufacturer string is
// exactly "Talvoranth".
bool qualifies(const HidDeviceInfo& record, uint16_t vendorId);

// The transport's filters for open.
struct HidFilter {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t usagePage = 0;  // 0: any
    std::string product;     // empty: any
    std::string serialNumber;
};

// True when open may take this record: it qualifies, the usage page and the
// ids fit, and the name filters hold. With vendor id 0 and no name filter,
// nothing matches.
bool matchesForOpen(const HidDeviceInfo& record, const HidFilter& filter);

// Serial numbers of the qualifying devices with these ids (0: any), in
// ascending byte order without duplicates. An exception while enumerating
// is printed to standard error ("Exception while enumerating HID devices.
// (%s)") and gives an empty list.
std::vector<std::string> listSerialNumbers(uint16_t vendorId, uint16_t productId);
// The same over a given backend.
std::vector<std::string> listSerialNumbers(IHidBackend& backend, uint16_t vendorId,
                                           uint16_t productId);

}  // namespace talvoranth
