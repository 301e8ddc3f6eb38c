// A scripted HID backend and a recording log target for the HID transport's
// unit tests. The test fills FakeHid (devices, reads to deliver, write
// results) and inspects what the transport wrote and logged.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "log/log_target.h"
#include "support/log_capture.h"
#include "transport/hid_backend.h"

namespace hidtest {

using Bytes = std::vector<uint8_t>;

// One scripted answer to readTimeout: bytes, a time-out, an error, or bytes
// computed from the last report written (to echo a nonce).
struct ReadStep {
    int result = 0;  // -1 error, 0 time-out, 1 deliver bytes
    Bytes bytes;
    std::function<Bytes(const Bytes& lastWrite)> reply;

    static ReadStep data(Bytes b) { return {1, std::move(b), nullptr}; }
    static ReadStep timeout() { return {0, {}, nullptr}; }
    static ReadStep error() { return {-1, {}, nullptr}; }
    static ReadStep answer(std::function<Bytes(const Bytes&)> f) { return {1, {}, std::move(f)}; }
};

struct FakeHid {
    std::vector<talvoranth::HidDeviceInfo> records;
    bool openFails = false;
    bool enumerateThrows = false;
    size_t outputReportLength = 65;
    std::deque<ReadStep> reads;  // empty: every read times out
    // Write number i (counting from 0) returns this instead of its length.
    int failWriteAt = -1;
    int failedWriteResult = -1;
    std::optional<std::wstring> error;
    // The file processes lock the device on; none: not shared.
    std::optional<std::string> lockFile;

    std::vector<std::string> openedPaths;
    std::vector<Bytes> writes;
    std::vector<int> readWaits;  // wait of every readTimeout call
    int openDevices = 0;
};

inline talvoranth::HidDeviceInfo vexaRecord(const std::string& path, const std::wstring& serial,
                                            const std::wstring& product = L"Vexa") {
    talvoranth::HidDeviceInfo r;
    r.path = path;
    r.vendorId = 0x0483;
    r.productId = 0xA2AC;
    r.serialNumber = serial;
    r.manufacturer = L"Talvoranth";
    r.product = product;
    r.usagePage = 0xF1D0;
    return r;
}

class FakeDevice : public talvoranth::IHidDevice {
public:
    explicit FakeDevice(std::shared_ptr<FakeHid> hid) : hid_(std::move(hid)) {
        ++hid_->openDevices;
    }
    ~FakeDevice() override { --hid_->openDevices; }

    int write(const uint8_t* data, size_t length) override {
        const int index = static_cast<int>(hid_->writes.size());
        hid_->writes.emplace_back(data, data + length);
        return index == hid_->failWriteAt ? hid_->failedWriteResult : static_cast<int>(length);
    }
    int readTimeout(uint8_t* data, size_t length, int milliseconds) override {
        hid_->readWaits.push_back(milliseconds);
        if (hid_->reads.empty()) {
            return 0;
        }
        ReadStep step = std::move(hid_->reads.front());
        hid_->reads.pop_front();
        if (step.result <= 0) {
            return step.result;
        }
        Bytes bytes = step.reply ? step.reply(hid_->writes.empty() ? Bytes{} : hid_->writes.back())
                                 : step.bytes;
        const size_t n = std::min(length, bytes.size());
        std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n), data);
        return static_cast<int>(n);
    }
    std::optional<std::wstring> errorText() override { return hid_->error; }
    size_t outputReportLength() const override { return hid_->outputReportLength; }
    int settleMilliseconds() const override { return 0; }
    std::optional<talvoranth::HidLockFile> lockFile() const override {
        if (!hid_->lockFile) {
            return std::nullopt;
        }
        return talvoranth::HidLockFile{*hid_->lockFile, true};
    }

private:
    std::shared_ptr<FakeHid> hid_;
};

class FakeBackend : public talvoranth::IHidBackend {
public:
    explicit FakeBackend(std::shared_ptr<FakeHid> hid) : hid_(std::move(hid)) {}

    std::vector<talvoranth::HidDeviceInfo> enumerate(uint16_t, uint16_t) override {
        if (hid_->enumerateThrows) {
            throw std::runtime_error("enumeration broke");
        }
        return hid_->records;
    }
    std::unique_ptr<talvoranth::IHidDevice> openPath(const std::string& path) override {
        hid_->openedPaths.push_back(path);
        if (hid_->openFails) {
            return nullptr;
        }
        return std::make_unique<FakeDevice>(hid_);
    }

private:
    std::shared_ptr<FakeHid> hid_;
};

using RecordingLog = vexa::test::CLogCapture;

// ---- device-side packets ----

inline Bytes u2fInit(uint32_t channel, uint8_t command, uint16_t length, const Bytes& payload) {
    Bytes p(64, 0xEE);
    p[0] = static_cast<uint8_t>(channel >> 24);
    p[1] = static_cast<uint8_t>(channel >> 16);
    p[2] = static_cast<uint8_t>(channel >> 8);
    p[3] = static_cast<uint8_t>(channel);
    p[4] = command;
    p[5] = static_cast<uint8_t>(length >> 8);
    p[6] = static_cast<uint8_t>(length);
    std::copy(payload.begin(), payload.begin() + std::min<size_t>(payload.size(), 57),
              p.begin() + 7);
    return p;
}

inline Bytes u2fCont(uint32_t channel, uint8_t seq, const Bytes& payload) {
    Bytes p = u2fInit(channel, seq, 0, {});
    std::fill(p.begin() + 5, p.end(), 0xEE);
    std::copy(payload.begin(), payload.begin() + std::min<size_t>(payload.size(), 59),
              p.begin() + 5);
    return p;
}

// The packets of a whole channel-framed message (command 0xC0).
inline std::vector<Bytes> u2fMessage(uint32_t channel, const Bytes& message) {
    std::vector<Bytes> packets{
        u2fInit(channel, 0xC0, static_cast<uint16_t>(message.size()), message)};
    size_t offset = std::min<size_t>(message.size(), 57);
    for (uint8_t seq = 0; offset < message.size(); ++seq) {
        Bytes part(message.begin() + static_cast<std::ptrdiff_t>(offset), message.end());
        packets.push_back(u2fCont(channel, seq, part));
        offset += std::min<size_t>(part.size(), 59);
    }
    return packets;
}

// The device's answer to a channel allocation: echoes the nonce of the
// allocation request (the last report written) and assigns channel.
inline std::function<Bytes(const Bytes&)> allocationAnswer(uint32_t channel, uint16_t length = 17,
                                                           bool sameNonce = true) {
    return [=](const Bytes& request) {
        Bytes payload(request.begin() + 8, request.begin() + 16);  // behind report id + 7
        if (!sameNonce) {
            payload[0] ^= 0xFF;
        }
        for (int shift = 24; shift >= 0; shift -= 8) {
            payload.push_back(static_cast<uint8_t>(channel >> shift));
        }
        payload.insert(payload.end(), {2, 1, 0, 0, 0});
        return u2fInit(0xFFFFFFFF, 0x86, length, payload);
    };
}

// A plain-framing report as the device sends it (report id 1 first).
inline Bytes plainReport(size_t reportLength, uint8_t packetId, const Bytes& payload,
                         uint32_t total = 0) {
    Bytes r(reportLength, 0);
    r[0] = 0x01;
    r[1] = packetId;
    size_t at = 2;
    if (packetId == 0) {
        r[2] = static_cast<uint8_t>(total);
        r[3] = static_cast<uint8_t>(total >> 8);
        r[4] = static_cast<uint8_t>(total >> 16);
        at = 5;
    }
    std::copy(payload.begin(), payload.begin() + std::min(payload.size(), reportLength - at),
              r.begin() + static_cast<std::ptrdiff_t>(at));
    return r;
}

inline Bytes iota(size_t n, uint8_t first = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(first + i);
    }
    return b;
}

}  // namespace hidtest
