// The small interface through which all HID access goes, shaped like the
// hidapi calls the transport uses: enumerate, open by path, read with
// time-out, write, error text, close (destroying the device), output report
// length. Two implementations: hidapi (hidraw) and the virtual device served
// by vexa-sim. Tests script their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace talvoranth {

// One record of an enumeration. A text that the device does not report is
// absent (hidapi's null), which differs from an empty text.
struct HidDeviceInfo {
    std::string path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::optional<std::wstring> serialNumber;
    std::optional<std::wstring> manufacturer;
    std::optional<std::wstring> product;
    uint16_t usagePage = 0;
    uint16_t usage = 0;
};

// The file on which the processes of this machine lock a device (see
// platform/device_lock.h): its node, or a lock file made for it.
struct HidLockFile {
    std::string path;
    bool create = false;  // a lock file that may not exist yet
};

// An open device. Destroying it closes it.
class IHidDevice {
public:
    virtual ~IHidDevice() = default;
    // Writes one output report: report id byte first, as hid_write takes it.
    // Returns the bytes written or -1.
    virtual int write(const uint8_t* data, size_t length) = 0;
    // Reads one input report into data (at most length bytes), waiting at
    // most milliseconds (-1 without limit). A leading report id 0 is not
    // delivered; any other report id is byte 0. Returns the bytes read, 0 on
    // time-out, -1 on error.
    virtual int readTimeout(uint8_t* data, size_t length, int milliseconds) = 0;
    // The text of the last error, or nothing (hidapi's null).
    virtual std::optional<std::wstring> errorText() = 0;
    // The output report length in bytes, report id byte included.
    virtual size_t outputReportLength() const = 0;
    // How long the host waits after opening before the device is usable.
    virtual int settleMilliseconds() const = 0;
    // Where processes lock this device; nothing when it is not shared with
    // other processes (a scripted test device).
    virtual std::optional<HidLockFile> lockFile() const { return std::nullopt; }
};

class IHidBackend {
public:
    virtual ~IHidBackend() = default;
    // The attached devices with these ids (0 and 0: all). Throws
    // IOException when the backend itself cannot be reached.
    virtual std::vector<HidDeviceInfo> enumerate(uint16_t vendorId, uint16_t productId) = 0;
    // The device at path, or nullptr when it cannot be opened.
    virtual std::unique_ptr<IHidDevice> openPath(const std::string& path) = 0;
};

// The backend to use in this process: the virtual device when the
// environment variable VEXA_VIRTUAL_DEVICE names a vexa-sim socket, else
// hidapi.
std::shared_ptr<IHidBackend> selectHidBackend();

}  // namespace talvoranth
