// CHIDTransport reading responses from a device whose every input report
// is chosen by the fuzzer: both framings, any report length, short reports,
// time-outs and read errors, with reads of any capacity and writes between
// them. A read must never hand out more than its capacity, never touch
// memory outside the caller's buffer, and fail only with IOException.
//
// Input: a header (framing byte, output report length, the channel the
// device assigns, the index of the write that fails or 0xFF), then steps:
// an operation byte (0 write, 1 close and open again, otherwise a read)
// with its 2-byte length or capacity. Every report the device is asked for
// is a length byte (0xFF a read error, 0xFE a time-out) and that many bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz_log.h"
#include "fuzz_reader.h"
#include "transport/exceptions.h"
#include "transport/hid_transport.h"

namespace {

using talvoranth::HidDeviceInfo;

// The device: answers the channel allocation properly when asked to (so
// that the channel framing is reached at all), then plays the fuzzer's
// reports.
class ScriptedDevice : public talvoranth::IHidDevice {
public:
    ScriptedDevice(vexa::fuzz::Reader& input, size_t reportLength, bool channel, uint32_t channelId,
                   int failWriteAt)
        : input_(input),
          reportLength_(reportLength),
          channel_(channel),
          channelId_(channelId),
          failWriteAt_(failWriteAt) {}

    int write(const uint8_t* data, size_t length) override {
        lastWrite_.assign(data, data + length);
        return writes_++ == failWriteAt_ ? -1 : static_cast<int>(length);
    }

    int readTimeout(uint8_t* data, size_t length, int /*milliseconds*/) override {
        if (channel_ && !allocated_ && lastWrite_.size() >= 16 && lastWrite_[5] == 0x86) {
            allocated_ = true;
            return allocationAnswer(data, length);
        }
        if (input_.empty()) {
            return 0;
        }
        // A length byte: 0xFF an error, 0xFE a time-out, else that many
        // bytes (at most the report).
        const uint8_t kind = input_.u8();
        if (kind == 0xFF) {
            return -1;
        }
        if (kind == 0xFE) {
            return 0;
        }
        const std::vector<uint8_t> bytes = input_.bytes(std::min<size_t>(kind, length));
        std::copy(bytes.begin(), bytes.end(), data);
        return static_cast<int>(bytes.size());
    }

    std::optional<std::wstring> errorText() override {
        if (input_.flag()) {
            return std::nullopt;
        }
        return std::wstring(L"fuzzed error");
    }
    size_t outputReportLength() const override { return reportLength_; }
    int settleMilliseconds() const override { return 0; }

private:
    int allocationAnswer(uint8_t* data, size_t length) {
        uint8_t packet[64];
        std::fill(std::begin(packet), std::end(packet), 0xEE);
        std::fill(packet, packet + 4, 0xFF);
        packet[4] = 0x86;
        packet[5] = 0;
        packet[6] = 17;
        std::copy(lastWrite_.begin() + 8, lastWrite_.begin() + 16, packet + 7);
        for (int i = 0; i < 4; ++i) {
            packet[15 + i] = static_cast<uint8_t>(channelId_ >> (24 - 8 * i));
        }
        const size_t n = std::min(length, sizeof packet);
        std::copy(packet, packet + n, data);
        return static_cast<int>(n);
    }

    vexa::fuzz::Reader& input_;
    size_t reportLength_;
    bool channel_;
    uint32_t channelId_;
    int failWriteAt_;
    int writes_ = 0;
    bool allocated_ = false;
    std::vector<uint8_t> lastWrite_;
};

class ScriptedBackend : public talvoranth::IHidBackend {
public:
    ScriptedBackend(vexa::fuzz::Reader& input, size_t reportLength, bool channel,
                    uint32_t channelId, int failWriteAt)
        : input_(input),
          reportLength_(reportLength),
          channel_(channel),
          channelId_(channelId),
          failWriteAt_(failWriteAt) {}

    std::vector<HidDeviceInfo> enumerate(uint16_t, uint16_t) override {
        HidDeviceInfo info;
        info.path = "fuzz";
        info.vendorId = 0x0483;
        info.productId = 0xA2AC;
        info.serialNumber = L"564558410001";
        info.manufacturer = L"Talvoranth";
        info.product = L"Vexa";
        return {info};
    }
    std::unique_ptr<talvoranth::IHidDevice> openPath(const std::string&) override {
        return std::make_unique<ScriptedDevice>(input_, reportLength_, channel_, channelId_,
                                                failWriteAt_);
    }

private:
    vexa::fuzz::Reader& input_;
    size_t reportLength_;
    bool channel_;
    uint32_t channelId_;
    int failWriteAt_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vexa::fuzz::Reader input(data, size);
    // Header: framing, output report length, the channel the device
    // assigns, the write that fails (0xFF: none).
    const bool channel = input.flag();
    const size_t reportLength = input.u8() % 131;
    const uint32_t channelId = input.u32();
    const uint8_t failWrite = input.u8();
    const int failWriteAt = failWrite == 0xFF ? -1 : failWrite;

    vexa::fuzz::DiscardLog log;
    talvoranth::CHIDTransport transport(
        &log,
        std::make_shared<ScriptedBackend>(input, reportLength, channel, channelId, failWriteAt));
    transport.setVendorProduct(0x0483, 0xA2AC);
    try {
        transport.open();
    } catch (const talvoranth::IOException&) {
        return 0;
    }

    // A few exchanges: reads of any capacity (each into a buffer of exactly
    // that size, so that any overrun is caught), writes, and re-opening.
    for (int step = 0; step < 8 && !input.empty(); ++step) {
        try {
            switch (input.u8() % 8) {
                case 0: {
                    const std::vector<uint8_t> message = input.bytes(input.u16() % 301);
                    transport.write(message.data(), static_cast<int>(message.size()));
                    break;
                }
                case 1:
                    transport.close();
                    transport.open();
                    break;
                default: {
                    const int capacity = input.inRange(-1, 8000);
                    std::unique_ptr<unsigned char[]> buffer(
                        capacity > 0 ? new unsigned char[static_cast<size_t>(capacity)] : nullptr);
                    const int got = transport.read(buffer.get(), capacity);
                    if (got < 0 || got > std::max(capacity, 0)) {
                        std::abort();
                    }
                    break;
                }
            }
        } catch (const talvoranth::IOException&) {
            // The transport's one way to fail.
        }
    }
    return 0;
}
