#include "sim/device/link.h"

#include <p11-kit/pkcs11.h>

#include "sim/firmware/codec.h"

namespace vexa::sim {

namespace {

constexpr const char* kDisconnected = "the device was disconnected";

// The plain framing's stand-in for an error packet: a packet id no host
// accepts.
constexpr uint8_t kInvalidPacketId = 0xFF;

// Reports waiting to be read, at most (a few full-size answers).
constexpr size_t kMaxQueuedReports = 1024;

// Bytes that cannot be decoded as a Response: an unterminated varint.
const Bytes kGarbage(16, 0xFF);

}  // namespace

DeviceLink::DeviceLink(VirtualDevice& device, Wakeup& wakeup)
    : device_(device),
      wakeup_(wakeup),
      generation_(device.generation()),
      u2f_(device),
      plain_(size_t{device.config().reportLength} + 1) {}

bool DeviceLink::connected() const {
    return device_.generation() == generation_;
}

int DeviceLink::write(const uint8_t* report, size_t length, std::string& error) {
    if (!connected()) {
        error = kDisconnected;
        return -1;
    }
    if (length == 0) {
        error = "empty report";
        return -1;
    }
    const uint8_t reportId = report[0];
    if (reportId == 0 && device_.config().framing == Framing::U2f) {
        u2f::Received received = u2f_.receive(report + 1, length - 1);
        queue(std::move(received.replies), Clock::now());
        if (received.message) {
            answer(*received.message, true, received.channel, false);
        }
    } else if (reportId == plain::kReportId) {
        plain::Received received = plain_.receive(report, length);
        if (received.message) {
            answer(*received.message, false, 0, received.oversized);
        }
    }
    // Reports of other ids (and U2FHID packets to a plain-framing device)
    // are taken and ignored, as a device ignores reports it does not know.
    return static_cast<int>(length);
}

void DeviceLink::answer(const Bytes& message, bool u2f, uint32_t channel, bool oversized) {
    const std::optional<Fault> fault = device_.takeFault();
    const size_t reportLength = size_t{device_.config().reportLength} + 1;
    auto frame = [&](const Bytes& payload) {
        return u2f ? u2f::framePackets(channel, u2f::kCommandMessage, payload)
                   : plain::frameReports(reportLength, payload);
    };

    if (fault && fault->kind == Fault::Kind::Error) {
        if (u2f) {
            queue({u2f::errorPacket(channel, static_cast<uint8_t>(fault->value))}, Clock::now());
        } else {
            Bytes report(reportLength, 0);
            report[0] = plain::kReportId;
            report[1] = kInvalidPacketId;
            queue({std::move(report)}, Clock::now());
        }
        return;
    }
    if (fault && fault->kind == Fault::Kind::Garbage) {
        queue(frame(kGarbage), Clock::now());
        return;
    }

    Bytes response;
    if (oversized) {
        DeviceResponse tooLarge;
        tooLarge.rv = CKR_DEVICE_MEMORY;
        encodeResponse(tooLarge, response);
    } else {
        response = device_.process(message);
    }
    if (fault && fault->kind == Fault::Kind::Drop) {
        return;
    }
    Clock::time_point readyAt = Clock::now();
    if (fault && fault->kind == Fault::Kind::Delay) {
        readyAt += std::chrono::milliseconds(fault->value);
    }
    queue(frame(response), readyAt);
}

void DeviceLink::queue(std::vector<Bytes> reports, Clock::time_point readyAt) {
    // Like a device's small output buffer: a host that writes without ever
    // reading loses the newest answers instead of growing the queue.
    if (outgoing_.size() + reports.size() > kMaxQueuedReports) {
        return;
    }
    for (Bytes& report : reports) {
        outgoing_.push_back(Outgoing{std::move(report), readyAt});
    }
}

int DeviceLink::read(int timeoutMs, Bytes& report, std::string& error) {
    const Clock::time_point deadline = timeoutMs < 0
                                           ? Clock::time_point::max()
                                           : Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!connected()) {
            error = kDisconnected;
            return -1;
        }
        const Clock::time_point now = Clock::now();
        if (!outgoing_.empty() && outgoing_.front().readyAt <= now) {
            report = std::move(outgoing_.front().report);
            outgoing_.pop_front();
            // A U2FHID packet comes without its report id 0; a plain report
            // keeps its report id 1 as byte 0 (it is built that way).
            return static_cast<int>(report.size());
        }
        if (now >= deadline || wakeup_.stopping()) {
            return 0;
        }
        const Clock::time_point until =
            outgoing_.empty() ? deadline : std::min(deadline, outgoing_.front().readyAt);
        wakeup_.waitUntil(until, [this] { return !connected(); });
        if (wakeup_.stopping()) {
            return 0;
        }
    }
}

}  // namespace vexa::sim
