#include "sim/device/link.h"

#include <p11-kit/pkcs11.h>

#include "sim/firmware/codec.h"

namespace vexa::sim {

namespace {

// The plain framing's stand-in for an error packet: a packet id no host
// accepts.
constexpr uint8_t kInvalidPacketId = 0xFF;

// Reports waiting for the host, at most.
constexpr size_t kMaxQueuedReports = virtual_wire::kMaxQueuedReports;

// Bytes that cannot be decoded as a Response: an unterminated varint.
const Bytes kGarbage(16, 0xFF);

}  // namespace

DeviceLink::DeviceLink(VirtualDevice& device)
    : device_(device),
      generation_(device.generation()),
      u2f_(device),
      plain_(size_t{device.config().reportLength} + 1) {}

bool DeviceLink::connected() const {
    return device_.generation() == generation_;
}

int DeviceLink::write(const uint8_t* report, size_t length, std::string& error) {
    if (!connected()) {
        error = kDisconnectedText;
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
        return u2f ? u2f::framePackets(channel, u2fhid::kCommandMessage, payload)
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

int DeviceLink::take(Clock::time_point now, Bytes& report) {
    if (outgoing_.empty() || outgoing_.front().readyAt > now) {
        return 0;
    }
    report = std::move(outgoing_.front().report);
    outgoing_.pop_front();
    return static_cast<int>(report.size());
}

DeviceLink::Clock::time_point DeviceLink::nextDue() const {
    return outgoing_.empty() ? Clock::time_point::max() : outgoing_.front().readyAt;
}

}  // namespace vexa::sim
