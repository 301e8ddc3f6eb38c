#include "sim/server/host_connection.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "sim/server/control.h"

namespace vexa::sim {

namespace {

namespace wire = vexa::virtual_wire;

}  // namespace

HostConnection::HostConnection(wire::Channel& channel,
                               const std::vector<std::unique_ptr<VirtualDevice>>& devices,
                               Wakeup& wakeup)
    : channel_(channel), devices_(devices), wakeup_(wakeup) {}

void HostConnection::run() {
    Wakeup::Subscription wake(wakeup_);
    if (!wake.ok()) {
        return;
    }
    for (;;) {
        if (wakeup_.stopping()) {
            return;
        }
        if (link_ && !link_->connected() && !closing_) {
            // 1. The device is gone: its reports still queued are lost, and
            //    the host learns why from the last message.
            report_.reset(wire::REPORT).i32(-1).str(kDisconnectedText);
            reportPending_ = true;
            closing_ = true;
        }
        // 2. Everything due goes out now, in order.
        if (!push()) {
            return;
        }
        if (closing_ && !reportPending_) {
            return;
        }
        // 3. Wait for a request, room on the socket, the next due report,
        //    or a vanish or stop.
        //    A request the channel holds already is taken without waiting.
        pollfd fds[2] = {{static_cast<int>(channel_.handle()),
                          static_cast<short>(POLLIN | (reportPending_ ? POLLOUT : 0)), 0},
                         {wake.fd(), POLLIN, 0}};
        const bool buffered = channel_.hasBuffered();
        const int ready = ::poll(fds, 2, buffered ? 0 : reportPending_ ? -1 : nextWaitMs());
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (ready <= 0 && !buffered) {
            continue;
        }
        if (ready > 0 && fds[1].revents != 0) {
            wake.drain();
        }
        if (buffered || (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const long n = channel_.receive(message_, 0);
            if (n < 0) {
                return;
            }
            if (n > 0 && !handle(message_.data(), static_cast<size_t>(n))) {
                return;
            }
        }
    }
}

bool HostConnection::push() {
    for (;;) {
        if (!reportPending_) {
            if (closing_ || !link_) {
                return true;
            }
            const int n = link_->take(DeviceLink::Clock::now(), input_);
            if (n <= 0) {
                return true;
            }
            report_.reset(wire::REPORT).i32(n).str("").raw(input_.data(), input_.size());
            reportPending_ = true;
        }
        switch (channel_.trySend(report_.bytes())) {
            case wire::SendResult::Sent:
                reportPending_ = false;
                break;
            case wire::SendResult::NoRoom:
                // The host is not reading: the report waits here, and the
                // link's bounded queue holds the rest.
                return true;
            case wire::SendResult::Failed:
                return false;
        }
    }
}

int HostConnection::nextWaitMs() const {
    if (!link_ || closing_) {
        return -1;
    }
    const DeviceLink::Clock::time_point due = link_->nextDue();
    if (due == DeviceLink::Clock::time_point::max()) {
        return -1;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(due - DeviceLink::Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

bool HostConnection::handle(const uint8_t* message, size_t length) {
    wire::Reader in(message + 1, length - 1);
    switch (message[0]) {
        case wire::ENUMERATE: {
            std::vector<wire::DeviceRecord> records;
            for (const auto& device : devices_) {
                if (device->present()) {
                    records.push_back(device->record());
                }
            }
            reply_.reset(wire::ENUMERATE_REPLY).u16(static_cast<uint16_t>(records.size()));
            for (const wire::DeviceRecord& r : records) {
                reply_.record(r);
            }
            break;
        }
        case wire::OPEN: {
            const std::string path = in.str();
            if (!in.ok()) {
                return false;
            }
            link_.reset();
            closing_ = false;
            reportPending_ = false;
            for (const auto& device : devices_) {
                if (device->path() == path && device->present()) {
                    link_.emplace(*device);
                    device->countOpen();
                }
            }
            reply_.reset(wire::OPEN_REPLY);
            if (link_) {
                const DeviceConfig& config = link_->device().config();
                reply_.u8(0).u32(config.settleMs).u16(config.reportLength).str("");
            } else {
                reply_.u8(1).u32(0).u16(0).str("no device at " + path);
            }
            break;
        }
        case wire::WRITE: {
            int result = -1;
            error_.clear();
            if (!link_) {
                error_ = "no device is open";
            } else {
                result = link_->write(in.rest(), in.remaining(), error_);
            }
            reply_.reset(wire::WRITE_REPLY).i32(result).str(error_);
            break;
        }
        case wire::CONTROL: {
            const std::string command = in.str();
            if (!in.ok()) {
                return false;
            }
            std::string text;
            const bool ok = executeControl(command, devices_, text);
            reply_.reset(wire::CONTROL_REPLY).u8(ok ? 0 : 1).str(text);
            break;
        }
        default:
            // Not this protocol: end the connection.
            return false;
    }
    return channel_.send(reply_.bytes());
}

}  // namespace vexa::sim
