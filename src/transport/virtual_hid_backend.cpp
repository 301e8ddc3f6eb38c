#include "transport/virtual_hid_backend.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "transport/exceptions.h"
#include "transport/virtual_wire.h"

namespace talvoranth {

namespace wire = vexa::virtual_wire;

namespace {

// How long a reply may take beyond the device's own wait before the
// connection counts as broken (the sim is on the same machine, but the
// machine may be loaded).
constexpr int kReplyMarginMs = 10000;

// A settle time announced beyond this is taken as this: the host must not
// hang on a bogus announcement.
constexpr uint32_t kMaxSettleMs = 60000;

constexpr const wchar_t* kConnectionLost = L"the virtual device closed the connection";
constexpr const wchar_t* kBadReply = L"the virtual device sent a malformed reply";

class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_;
};

// The strings on the wire are UTF-8; hidapi hands out wide text. Invalid
// sequences become U+FFFD.
std::wstring widen(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t extra = lead < 0x80           ? 0
                       : (lead >> 5) == 0x6  ? 1
                       : (lead >> 4) == 0xE  ? 2
                       : (lead >> 3) == 0x1E ? 3
                                             : SIZE_MAX;
        if (extra == SIZE_MAX || text.size() - i - 1 < extra) {
            out.push_back(L'\uFFFD');
            ++i;
            continue;
        }
        uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        bool valid = true;
        for (size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            code = (code << 6) | (next & 0x3F);
        }
        if (!valid || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            out.push_back(L'\uFFFD');
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(code));
        i += extra + 1;
    }
    return out;
}

int replyWait(int deviceWaitMs) {
    if (deviceWaitMs < 0) {
        return -1;
    }
    return deviceWaitMs > INT_MAX - kReplyMarginMs ? INT_MAX : deviceWaitMs + kReplyMarginMs;
}

// Sends request and receives the reply of the expected type into reply.
// Returns a reader positioned after the type byte, or nothing with failure
// saying why: the connection failed, or the reply is of another type.
std::optional<wire::Reader> roundTrip(int fd, const std::vector<uint8_t>& request,
                                      wire::MessageType expected, std::vector<uint8_t>& reply,
                                      int waitMs, const wchar_t*& failure) {
    failure = kConnectionLost;
    if (!wire::sendMessage(fd, request)) {
        return std::nullopt;
    }
    const long n = wire::receiveMessage(fd, reply, waitMs);
    if (n <= 0) {
        return std::nullopt;
    }
    if (reply[0] != expected) {
        failure = kBadReply;
        return std::nullopt;
    }
    return wire::Reader(reply.data() + 1, static_cast<size_t>(n) - 1);
}

class VirtualHidDevice : public IHidDevice {
public:
    VirtualHidDevice(int fd, int settleMs, size_t reportLength)
        : fd_(fd), settleMs_(settleMs), reportLength_(reportLength) {
        request_.reserve(reportLength_ + 2);
    }

    int write(const uint8_t* data, size_t length) override {
        if (broken()) {
            return -1;
        }
        // Like hidapi, a shorter report is padded with zeros.
        const size_t padded = std::max(length, outputReportLength());
        request_.assign(1, wire::WRITE);
        request_.insert(request_.end(), data, data + length);
        request_.resize(1 + padded, 0);
        const wchar_t* failure = nullptr;
        std::optional<wire::Reader> reply =
            roundTrip(fd_.get(), request_, wire::WRITE_REPLY, reply_, kReplyMarginMs, failure);
        if (!reply) {
            return fail(failure);
        }
        const int32_t result = reply->i32();
        const std::string text = reply->str();
        if (!reply->ok()) {
            return fail(kBadReply);
        }
        if (result < 0) {
            error_ = widen(text);
            return -1;
        }
        return result;
    }

    int readTimeout(uint8_t* data, size_t length, int milliseconds) override {
        if (broken()) {
            return -1;
        }
        const auto wait = static_cast<uint32_t>(milliseconds < 0 ? -1 : milliseconds);
        request_.assign(1, wire::READ);
        for (int shift = 0; shift < 32; shift += 8) {
            request_.push_back(static_cast<uint8_t>(wait >> shift));
        }
        const wchar_t* failure = nullptr;
        std::optional<wire::Reader> reply = roundTrip(fd_.get(), request_, wire::READ_REPLY, reply_,
                                                      replyWait(milliseconds), failure);
        if (!reply) {
            return fail(failure);
        }
        const int32_t result = reply->i32();
        const std::string text = reply->str();
        if (!reply->ok()) {
            return fail(kBadReply);
        }
        if (result < 0) {
            error_ = widen(text);
            return -1;
        }
        // Never trust the count: copy only what arrived and what fits.
        const size_t n = std::min({static_cast<size_t>(result), reply->remaining(), length});
        if (n > 0) {
            std::memcpy(data, reply->rest(), n);
        }
        return static_cast<int>(n);
    }

    std::optional<std::wstring> errorText() override { return error_; }
    size_t outputReportLength() const override { return reportLength_ + 1; }
    int settleMilliseconds() const override { return settleMs_; }

private:
    bool broken() const { return fd_.get() < 0; }
    // A connection that failed once is out of step with the sim: drop it.
    int fail(const wchar_t* text) {
        fd_.reset();
        error_ = text;
        return -1;
    }

    UniqueFd fd_;
    int settleMs_;
    size_t reportLength_;
    std::vector<uint8_t> request_;
    std::vector<uint8_t> reply_;
    std::optional<std::wstring> error_;
};

class VirtualHidBackend : public IHidBackend {
public:
    explicit VirtualHidBackend(std::string socketPath) : socketPath_(std::move(socketPath)) {}

    std::vector<HidDeviceInfo> enumerate(uint16_t vendorId, uint16_t productId) override {
        UniqueFd fd(connect());
        std::vector<uint8_t> reply;
        const wchar_t* failure = nullptr;
        std::optional<wire::Reader> in =
            roundTrip(fd.get(), wire::Writer(wire::ENUMERATE).bytes(), wire::ENUMERATE_REPLY, reply,
                      kReplyMarginMs, failure);
        if (!in) {
            throw IOException("No device list from the virtual device at " + socketPath_);
        }
        const uint16_t count = in->u16();
        std::vector<HidDeviceInfo> records;
        for (uint16_t i = 0; i < count && in->ok(); ++i) {
            const wire::DeviceRecord r = in->record();
            if (!in->ok()) {
                break;
            }
            if ((vendorId != 0 && r.vendorId != vendorId) ||
                (productId != 0 && r.productId != productId)) {
                continue;
            }
            HidDeviceInfo info;
            info.path = r.path;
            info.vendorId = r.vendorId;
            info.productId = r.productId;
            info.serialNumber = widen(r.serialNumber);
            info.manufacturer = widen(r.manufacturer);
            info.product = widen(r.product);
            info.usagePage = r.usagePage;
            info.usage = r.usage;
            records.push_back(std::move(info));
        }
        if (!in->ok()) {
            throw IOException("Malformed device list from the virtual device at " + socketPath_);
        }
        return records;
    }

    std::unique_ptr<IHidDevice> openPath(const std::string& path) override {
        UniqueFd fd(wire::connectSocket(socketPath_));
        if (fd.get() < 0) {
            return nullptr;
        }
        std::vector<uint8_t> reply;
        const wchar_t* failure = nullptr;
        std::optional<wire::Reader> in =
            roundTrip(fd.get(), wire::Writer(wire::OPEN).str(path).bytes(), wire::OPEN_REPLY, reply,
                      kReplyMarginMs, failure);
        if (!in) {
            return nullptr;
        }
        const uint8_t status = in->u8();
        const uint32_t settleMs = in->u32();
        const uint16_t reportLength = in->u16();
        in->str();
        if (!in->ok() || status != 0 || reportLength == 0) {
            return nullptr;
        }
        const int settle = static_cast<int>(std::min<uint32_t>(settleMs, kMaxSettleMs));
        auto device = std::make_unique<VirtualHidDevice>(fd.get(), settle, reportLength);
        fd.release();  // the device owns the connection now
        return device;
    }

private:
    int connect() {
        const int fd = wire::connectSocket(socketPath_);
        if (fd < 0) {
            throw IOException("Unable to reach the virtual device at " + socketPath_);
        }
        return fd;
    }

    std::string socketPath_;
};

}  // namespace

std::shared_ptr<IHidBackend> makeVirtualHidBackend(const std::string& socketPath) {
    return std::make_shared<VirtualHidBackend>(socketPath);
}

}  // namespace talvoranth
