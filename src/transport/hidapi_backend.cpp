#include "transport/hidapi_backend.h"

#include <hidapi/hidapi.h>

#include <array>
#include <fstream>

#include "transport/hid_report_descriptor.h"

namespace talvoranth {

namespace {

// A real device needs this long after open before it answers reliably.
constexpr int kSettleMilliseconds = 500;
// The Vexa's reports are 64 bytes; hidapi counts the report id byte too.
// Used when the report descriptor cannot be read or makes no sense.
constexpr size_t kDefaultOutputReportLength = 65;
// No HID report of a sane device is longer than this.
constexpr size_t kMaxOutputReportLength = 65536;
// The kernel's limit on the size of a report descriptor.
constexpr size_t kMaxDescriptorSize = 4096;

struct EnumerationDeleter {
    void operator()(hid_device_info* list) const { hid_free_enumeration(list); }
};
struct DeviceDeleter {
    void operator()(hid_device* device) const { hid_close(device); }
};
using DevicePtr = std::unique_ptr<hid_device, DeviceDeleter>;

std::optional<std::wstring> optionalText(const wchar_t* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    return std::wstring(text);
}

// The raw report descriptor of an open device; empty when it cannot be read.
std::vector<uint8_t> reportDescriptor([[maybe_unused]] hid_device* device,
                                      [[maybe_unused]] const std::string& path) {
#if HID_API_VERSION >= HID_API_MAKE_VERSION(0, 14, 0)
    std::vector<uint8_t> descriptor(kMaxDescriptorSize);
    int n = hid_get_report_descriptor(device, descriptor.data(), descriptor.size());
    descriptor.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return descriptor;
#else
    // Older hidapi does not hand the descriptor out; the hidraw node's
    // sysfs entry has it.
    const size_t slash = path.rfind('/');
    const std::string node = slash == std::string::npos ? path : path.substr(slash + 1);
    if (node.empty()) {
        return {};
    }
    std::ifstream in("/sys/class/hidraw/" + node + "/device/report_descriptor", std::ios::binary);
    if (!in) {
        return {};
    }
    std::vector<uint8_t> descriptor;
    descriptor.reserve(kMaxDescriptorSize);
    std::array<char, 512> chunk{};
    while (descriptor.size() < kMaxDescriptorSize &&
           in.read(chunk.data(), chunk.size()).gcount() > 0) {
        descriptor.insert(descriptor.end(), chunk.begin(), chunk.begin() + in.gcount());
    }
    if (descriptor.size() > kMaxDescriptorSize) {
        descriptor.resize(kMaxDescriptorSize);
    }
    return descriptor;
#endif
}

size_t deviceOutputReportLength(hid_device* device, const std::string& path) {
    const std::vector<uint8_t> descriptor = reportDescriptor(device, path);
    const std::optional<size_t> length = outputReportLength(descriptor.data(), descriptor.size());
    if (!length || *length < 2 || *length > kMaxOutputReportLength) {
        return kDefaultOutputReportLength;
    }
    return *length;
}

class HidapiDevice : public IHidDevice {
public:
    HidapiDevice(DevicePtr device, size_t outputReportLength, std::string path)
        : device_(std::move(device)),
          outputReportLength_(outputReportLength),
          path_(std::move(path)) {}

    int write(const uint8_t* data, size_t length) override {
        return hid_write(device_.get(), data, length);
    }
    int readTimeout(uint8_t* data, size_t length, int milliseconds) override {
        return hid_read_timeout(device_.get(), data, length, milliseconds);
    }
    std::optional<std::wstring> errorText() override {
        return optionalText(hid_error(device_.get()));
    }
    size_t outputReportLength() const override { return outputReportLength_; }
    int settleMilliseconds() const override { return kSettleMilliseconds; }
    // The hidraw node itself: every process that can open the device can
    // lock it, and no file is left behind.
    std::optional<HidLockFile> lockFile() const override { return HidLockFile{path_, false}; }

private:
    DevicePtr device_;
    size_t outputReportLength_;
    std::string path_;
};

class HidapiBackend : public IHidBackend {
public:
    HidapiBackend() { hid_init(); }

    std::vector<HidDeviceInfo> enumerate(uint16_t vendorId, uint16_t productId) override {
        std::unique_ptr<hid_device_info, EnumerationDeleter> list(
            hid_enumerate(vendorId, productId));
        std::vector<HidDeviceInfo> records;
        for (const hid_device_info* d = list.get(); d != nullptr; d = d->next) {
            HidDeviceInfo info;
            info.path = d->path != nullptr ? d->path : "";
            info.vendorId = d->vendor_id;
            info.productId = d->product_id;
            info.serialNumber = optionalText(d->serial_number);
            info.manufacturer = optionalText(d->manufacturer_string);
            info.product = optionalText(d->product_string);
            info.usagePage = d->usage_page;
            info.usage = d->usage;
            records.push_back(std::move(info));
        }
        return records;
    }

    std::unique_ptr<IHidDevice> openPath(const std::string& path) override {
        DevicePtr device(hid_open_path(path.c_str()));
        if (!device) {
            return nullptr;
        }
        const size_t length = deviceOutputReportLength(device.get(), path);
        return std::make_unique<HidapiDevice>(std::move(device), length, path);
    }
};

}  // namespace

std::shared_ptr<IHidBackend> makeHidapiBackend() {
    return std::make_shared<HidapiBackend>();
}

}  // namespace talvoranth
