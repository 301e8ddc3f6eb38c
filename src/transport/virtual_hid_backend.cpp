#include "transport/virtual_hid_backend.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <string_view>

#include "transport/exceptions.h"
#include "device_link/virtual_wire.h"

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

// Sends request and receives the reply of the expected type into reply.
// Returns a reader positioned after the type byte, or nothing with failure
// saying why: the connection failed, or the reply is of another type.
std::optional<wire::Reader> roundTrip(wire::Channel& channel, const std::vector<uint8_t>& request,
                                      wire::MessageType expected, std::vector<uint8_t>& reply,
                                      int waitMs, const wchar_t*& failure) {
    failure = kConnectionLost;
    if (!channel.send(request)) {
        return std::nullopt;
    }
    const long n = channel.receive(reply, waitMs);
    if (n <= 0) {
        return std::nullopt;
    }
    if (reply[0] != expected) {
        failure = kBadReply;
        return std::nullopt;
    }
    return wire::Reader(reply.data() + 1, static_cast<size_t>(n) - 1);
}

// One input report or error the sim pushed, as a read hands it out.
struct InputRecord {
    int32_t result = 0;  // -1: an error with `error`; else bytes.size()
    std::string error;
    std::vector<uint8_t> bytes;
};

// The reports that arrive while the host waits for a WRITE_REPLY, oldest
// first. Bounded like the device's own buffer: when it is full the newest
// reports are lost. Slots are reused, so a steady exchange allocates
// nothing.
class InputQueue {
public:
    bool empty() const { return count_ == 0; }
    InputRecord& front() { return slots_[head_]; }
    void pop() {
        head_ = (head_ + 1) % slots_.size();
        --count_;
    }
    void clear() { head_ = count_ = 0; }
    // The slot for a new record at the back, or nullptr when the queue is
    // full.
    InputRecord* push() {
        if (count_ == slots_.size()) {
            if (slots_.size() == wire::kMaxQueuedReports) {
                return nullptr;
            }
            // Full ring: the new slot goes just before the oldest record,
            // which moves one place on.
            slots_.insert(slots_.begin() + static_cast<std::ptrdiff_t>(head_), InputRecord{});
            if (count_ > 0) {
                ++head_;
            }
        }
        InputRecord& slot = slots_[(head_ + count_) % slots_.size()];
        ++count_;
        return &slot;
    }

private:
    std::vector<InputRecord> slots_;
    size_t head_ = 0;
    size_t count_ = 0;
};

class VirtualHidDevice : public IHidDevice {
public:
    VirtualHidDevice(wire::Channel channel, int settleMs, size_t reportLength, HidLockFile lockFile)
        : channel_(std::move(channel)),
          settleMs_(settleMs),
          reportLength_(reportLength),
          lockFile_(std::move(lockFile)) {
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
        if (!channel_.send(request_)) {
            return connectionEnded();
        }
        // Reports the device pushes meanwhile (answers still due from
        // earlier writes) wait in the queue for their read.
        const auto deadline = Clock::now() + std::chrono::milliseconds(kReplyMarginMs);
        for (;;) {
            const long n = channel_.receive(reply_, millisecondsUntil(deadline));
            if (n == 0) {
                return fail(kConnectionLost);  // no reply in time
            }
            if (n < 0) {
                return connectionEnded();
            }
            wire::Reader in(reply_.data() + 1, static_cast<size_t>(n) - 1);
            if (reply_[0] == wire::REPORT) {
                if (!keep(in)) {
                    return fail(kBadReply);
                }
                continue;
            }
            if (reply_[0] != wire::WRITE_REPLY) {
                return fail(kBadReply);
            }
            lastWasError_ = false;
            const int32_t result = in.i32();
            const std::string text = in.str();
            if (!in.ok()) {
                return fail(kBadReply);
            }
            if (result < 0) {
                error_ = widen(text);
                return -1;
            }
            return result;
        }
    }

    int readTimeout(uint8_t* data, size_t length, int milliseconds) override {
        if (!queue_.empty()) {
            InputRecord& record = queue_.front();
            const int result = deliver(record.result, record.error, record.bytes.data(),
                                       record.bytes.size(), data, length);
            queue_.pop();
            return result;
        }
        if (broken()) {
            return -1;
        }
        const long n = channel_.receive(reply_, milliseconds < 0 ? -1 : milliseconds);
        if (n == 0) {
            return 0;
        }
        if (n < 0) {
            return connectionEnded();
        }
        if (reply_[0] != wire::REPORT) {
            return fail(kBadReply);
        }
        wire::Reader in(reply_.data() + 1, static_cast<size_t>(n) - 1);
        const int32_t result = in.i32();
        const std::string text = in.str();
        if (!in.ok()) {
            return fail(kBadReply);
        }
        noteRecord(result, text);
        return deliver(result, text, in.rest(), in.remaining(), data, length);
    }

    std::optional<std::wstring> errorText() override { return error_; }
    size_t outputReportLength() const override { return reportLength_ + 1; }
    int settleMilliseconds() const override { return settleMs_; }
    std::optional<HidLockFile> lockFile() const override { return lockFile_; }

private:
    using Clock = std::chrono::steady_clock;

    static int millisecondsUntil(Clock::time_point deadline) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
    }

    // Hands one record to a read: an error fails the read with its text;
    // a report is copied as far as it arrived and fits (the count is
    // never trusted).
    int deliver(int32_t result, const std::string& text, const uint8_t* bytes, size_t available,
                uint8_t* data, size_t length) {
        if (result < 0) {
            error_ = widen(text);
            return -1;
        }
        const size_t n = std::min({static_cast<size_t>(result), available, length});
        if (n > 0) {
            std::memcpy(data, bytes, n);
        }
        return static_cast<int>(n);
    }

    // Queues a pushed record that arrived during a write. False when it is
    // malformed.
    bool keep(wire::Reader& in) {
        const int32_t result = in.i32();
        const uint16_t textLength = in.u16();
        const uint8_t* text = in.rest();
        if (!in.ok() || in.remaining() < textLength) {
            return false;
        }
        InputRecord* record = queue_.push();
        const std::string_view error(reinterpret_cast<const char*>(text), textLength);
        // Nothing a read could take is longer than an input report with
        // its report id byte.
        const size_t available = in.remaining() - textLength;
        const size_t count =
            result < 0 ? 0 : std::min({static_cast<size_t>(result), available, reportLength_ + 1});
        noteRecord(result, error);
        if (record == nullptr) {
            return true;  // full: this report is lost
        }
        record->result = result < 0 ? -1 : static_cast<int32_t>(count);
        record->error.assign(error.data(), error.size());
        record->bytes.assign(text + textLength, text + textLength + count);
        return true;
    }

    // Remembers whether the sim's latest message was an error record: one
    // that comes last before the sim ends the connection says why.
    void noteRecord(int32_t result, std::string_view text) {
        lastWasError_ = result < 0;
        if (lastWasError_) {
            lastError_.assign(text.data(), text.size());
        }
    }

    bool broken() const { return !channel_.isOpen(); }

    // The sim ended the connection (or it failed). What the sim sent before
    // the end is still taken: an error record as its last message is the
    // reason (the device has gone), and every later call fails with it.
    int connectionEnded() {
        for (;;) {
            const long n = channel_.receive(reply_, 0);
            if (n <= 0) {
                break;
            }
            wire::Reader in(reply_.data() + 1, static_cast<size_t>(n) - 1);
            if (reply_[0] != wire::REPORT) {
                lastWasError_ = false;
                continue;
            }
            const int32_t result = in.i32();
            const std::string text = in.str();
            noteRecord(in.ok() ? result : 0, text);
        }
        return fail(lastWasError_ ? widen(lastError_) : kConnectionLost);
    }

    // A connection that failed once is out of step with the sim: drop it,
    // with the reports it still held (a device that is gone delivers
    // nothing more).
    int fail(std::wstring text) {
        channel_.close();
        queue_.clear();
        error_ = std::move(text);
        return -1;
    }

    wire::Channel channel_;
    int settleMs_;
    size_t reportLength_;
    std::vector<uint8_t> request_;
    std::vector<uint8_t> reply_;
    HidLockFile lockFile_;
    InputQueue queue_;
    bool lastWasError_ = false;
    std::string lastError_;
    std::optional<std::wstring> error_;
};

class VirtualHidBackend : public IHidBackend {
public:
    explicit VirtualHidBackend(std::string socketPath) : socketPath_(std::move(socketPath)) {}

    std::vector<HidDeviceInfo> enumerate(uint16_t vendorId, uint16_t productId) override {
        wire::Channel channel = connect();
        std::vector<uint8_t> reply;
        const wchar_t* failure = nullptr;
        std::optional<wire::Reader> in =
            roundTrip(channel, wire::Writer(wire::ENUMERATE).bytes(), wire::ENUMERATE_REPLY, reply,
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
        wire::Channel channel = wire::connectTo(socketPath_);
        if (!channel.isOpen()) {
            return nullptr;
        }
        std::vector<uint8_t> reply;
        const wchar_t* failure = nullptr;
        std::optional<wire::Reader> in =
            roundTrip(channel, wire::Writer(wire::OPEN).str(path).bytes(), wire::OPEN_REPLY, reply,
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
        // The device owns the connection now.
        return std::make_unique<VirtualHidDevice>(std::move(channel), settle, reportLength,
                                                  lockFileOf(path));
    }

private:
    // A virtual device has no node to lock: its lock file lies beside the
    // sim's socket. vexa-sim makes it; it is made here only when missing.
    HidLockFile lockFileOf(const std::string& path) const {
        return HidLockFile{wire::deviceLockFile(socketPath_, path), true};
    }

    wire::Channel connect() {
        wire::Channel channel = wire::connectTo(socketPath_);
        if (!channel.isOpen()) {
            throw IOException("Unable to reach the virtual device at " + socketPath_);
        }
        return channel;
    }

    std::string socketPath_;
};

}  // namespace

std::shared_ptr<IHidBackend> makeVirtualHidBackend(const std::string& socketPath) {
    return std::make_shared<VirtualHidBackend>(socketPath);
}

}  // namespace talvoranth
