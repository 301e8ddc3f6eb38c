// CHIDTransport's framing of whole messages into 64-byte reports and back,
// in both framings, over an in-memory device: a write takes each report and
// drops it, a read hands back the reports of a fixed response. What is
// measured is the transport's own work per message.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "transport/hid_backend.h"
#include "transport/hid_framing.h"
#include "transport/hid_transport.h"

namespace vexa::bench {
namespace {

namespace hf = talvoranth::hidframe;
using Report = std::vector<uint8_t>;

constexpr uint32_t kChannel = 0x01020304;
constexpr size_t kReportLength = u2fhid::kPacketSize;  // without the report id

// The reports of a response of `length` bytes as the device sends them.
std::vector<Report> responseReports(bool channel, size_t length) {
    const std::vector<uint8_t> message(length, 0x3C);
    std::vector<Report> reports;
    if (channel) {
        Report packet(u2fhid::kPacketSize);
        size_t sent = hf::buildInitPacket(packet.data(), kChannel, u2fhid::kCommandMessage,
                                          static_cast<uint16_t>(length), message.data(), length);
        reports.push_back(packet);
        for (uint8_t seq = 0; sent < length; ++seq) {
            sent += hf::buildContPacket(packet.data(), kChannel, seq, message.data() + sent,
                                        length - sent);
            reports.push_back(packet);
        }
    } else {
        // Report id 1 is delivered as the first byte.
        Report report(kReportLength + 1);
        size_t sent = 0;
        while (sent < length) {
            sent +=
                hf::buildPlainReport(report.data(), report.size(), message.data(), length, sent);
            reports.push_back(report);
        }
    }
    return reports;
}

// Answers the channel allocation when `channel`, then replays the response
// reports in a cycle; every write succeeds.
class CReplayDevice : public talvoranth::IHidDevice {
public:
    CReplayDevice(bool channel, std::vector<Report> reports)
        : channel_(channel), reports_(std::move(reports)) {}

    int write(const uint8_t* data, size_t length) override {
        if (allocating_) {
            std::memcpy(lastWrite_, data + 1, sizeof lastWrite_);
        }
        return static_cast<int>(length);
    }
    int readTimeout(uint8_t* data, size_t length, int) override {
        if (allocating_) {
            allocating_ = false;
            if (!channel_) {
                return 0;  // no answer: the host uses the plain framing
            }
            // Broadcast channel, init command, 17 bytes: nonce, then the channel.
            uint8_t answer[u2fhid::kPacketSize] = {0xFF, 0xFF, 0xFF, 0xFF, u2fhid::kCommandAllocate,
                                                   0,    17};
            std::memcpy(answer + 7, lastWrite_ + 7, 8);
            answer[15] = kChannel >> 24;
            answer[16] = kChannel >> 16 & 0xFF;
            answer[17] = kChannel >> 8 & 0xFF;
            answer[18] = kChannel & 0xFF;
            std::memcpy(data, answer, sizeof answer);
            return static_cast<int>(sizeof answer);
        }
        ++reportsRead_;
        const Report& r = reports_[next_];
        next_ = (next_ + 1) % reports_.size();
        const size_t n = r.size() < length ? r.size() : length;
        std::memcpy(data, r.data(), n);
        return static_cast<int>(n);
    }
    std::optional<std::wstring> errorText() override { return std::nullopt; }
    size_t outputReportLength() const override { return kReportLength + 1; }
    int settleMilliseconds() const override { return 0; }
    size_t reportsRead() const { return reportsRead_; }
    size_t reportsPerMessage() const { return reports_.size(); }

private:
    bool channel_;
    bool allocating_ = true;
    size_t reportsRead_ = 0;
    uint8_t lastWrite_[u2fhid::kPacketSize] = {};
    std::vector<Report> reports_;
    size_t next_ = 0;
};

class CReplayBackend : public talvoranth::IHidBackend {
public:
    CReplayBackend(bool channel, size_t responseLength)
        : channel_(channel), reports_(responseReports(channel, responseLength)) {}
    std::vector<talvoranth::HidDeviceInfo> enumerate(uint16_t, uint16_t) override {
        talvoranth::HidDeviceInfo info;
        info.path = "replay";
        info.vendorId = 0x0483;
        info.productId = 0xA2AC;
        info.serialNumber = L"564558410001";
        info.manufacturer = L"Talvoranth";
        info.product = L"Vexa";
        return {info};
    }
    std::unique_ptr<talvoranth::IHidDevice> openPath(const std::string&) override {
        auto device = std::make_unique<CReplayDevice>(channel_, reports_);
        opened_ = device.get();
        return device;
    }
    // The device opened last; it lives as long as the transport keeps it open.
    const CReplayDevice* opened() const { return opened_; }

private:
    bool channel_;
    std::vector<Report> reports_;
    const CReplayDevice* opened_ = nullptr;
};

std::unique_ptr<talvoranth::CHIDTransport> openTransport(
    bool channel, size_t responseLength, std::shared_ptr<CReplayBackend>* backendOut = nullptr) {
    auto backend = std::make_shared<CReplayBackend>(channel, responseLength);
    if (backendOut != nullptr) {
        *backendOut = backend;
    }
    auto transport = std::make_unique<talvoranth::CHIDTransport>(nullptr, backend);
    transport->setVendorProduct(0x0483, 0xA2AC);
    transport->setSerialNumber("564558410001");
    transport->open();
    return transport;
}

// state.range(0): message length; state.range(1): 1 channel framing, 0 plain.
void writeMessage(benchmark::State& state) {
    const auto length = static_cast<size_t>(state.range(0));
    auto transport = openTransport(state.range(1) != 0, 1);
    if (transport->channelFraming() != (state.range(1) != 0)) {
        state.SkipWithError("framing not as asked");
        return;
    }
    const std::vector<uint8_t> message(length, 0x11);
    for (auto _ : state) {
        transport->write(message.data(), static_cast<int>(length));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
}

void readMessage(benchmark::State& state) {
    const auto length = static_cast<size_t>(state.range(0));
    std::shared_ptr<CReplayBackend> backend;
    auto transport = openTransport(state.range(1) != 0, length, &backend);
    if (transport->channelFraming() != (state.range(1) != 0)) {
        state.SkipWithError("framing not as asked");
        return;
    }
    std::vector<uint8_t> buffer(8192);
    for (auto _ : state) {
        if (transport->read(buffer.data(), static_cast<int>(length)) != static_cast<int>(length)) {
            state.SkipWithError("short read");
            break;
        }
    }
    // Every message takes exactly its own reports: the replay stays in step.
    const CReplayDevice* device = backend->opened();
    if (state.iterations() > 0 &&
        device->reportsRead() != state.iterations() * device->reportsPerMessage()) {
        state.SkipWithError("replay out of step with the transport");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
}

void framingArgs(benchmark::internal::Benchmark* b) {
    b->ArgNames({"bytes", "channel"});
    for (int channel : {1, 0}) {
        for (int length : {64, 2000, 4000}) {
            b->Args({length, channel});
        }
    }
}

BENCHMARK(writeMessage)->Name("HidFraming/Write")->Apply(framingArgs);
BENCHMARK(readMessage)->Name("HidFraming/Read")->Apply(framingArgs);

}  // namespace
}  // namespace vexa::bench
