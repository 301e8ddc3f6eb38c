#include "sim/device/plain_framing.h"

#include <algorithm>

namespace vexa::sim::plain {

Received Receiver::receive(const uint8_t* data, size_t length) {
    Bytes report(reportLength_, 0);
    std::copy_n(data, std::min(length, reportLength_), report.begin());
    if (report[0] != kReportId) {
        return {};
    }
    if (report[1] == kFirstPacket) {
        active_ = true;
        total_ = size_t{report[2]} | (size_t{report[3]} << 8) | (size_t{report[4]} << 16);
        oversized_ = total_ > kMaxMessage;
        payload_.clear();
        const size_t take = std::min(reportLength_ - 5, total_);
        if (!oversized_) {
            payload_.assign(report.begin() + 5, report.begin() + 5 + static_cast<long>(take));
        }
        received_ = take;
    } else if (report[1] == kContinuationPacket && active_) {
        const size_t take = std::min(reportLength_ - 2, total_ - received_);
        if (!oversized_) {
            payload_.insert(payload_.end(), report.begin() + 2,
                            report.begin() + 2 + static_cast<long>(take));
        }
        received_ += take;
    } else {
        return {};
    }
    if (received_ < total_) {
        return {};
    }
    active_ = false;
    Received r;
    r.oversized = oversized_;
    r.message = oversized_ ? Bytes{} : std::move(payload_);
    payload_ = Bytes{};
    return r;
}

std::vector<Bytes> frameReports(size_t reportLength, const Bytes& payload) {
    std::vector<Bytes> reports;
    const size_t total = payload.size();
    size_t sent = 0;
    do {
        Bytes report(reportLength, 0);
        report[0] = kReportId;
        size_t offset = 2;
        if (sent == 0) {
            report[1] = kFirstPacket;
            report[2] = static_cast<uint8_t>(total);
            report[3] = static_cast<uint8_t>(total >> 8);
            report[4] = static_cast<uint8_t>(total >> 16);
            offset = 5;
        } else {
            report[1] = kContinuationPacket;
        }
        const size_t take = std::min(total - sent, reportLength - offset);
        std::copy_n(payload.begin() + static_cast<long>(sent), take,
                    report.begin() + static_cast<long>(offset));
        sent += take;
        reports.push_back(std::move(report));
    } while (sent < total);
    return reports;
}

}  // namespace vexa::sim::plain
