#include "daemon/device_turns.h"

#include <algorithm>

DeviceTurns::Result DeviceTurns::acquire(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t ticket = nextTicket_++;
    queue_.push_back(ticket);
    updateWaiterEvent();
    const bool mine = changed_.wait_until(
        lock, deadline, [&] { return stopped_ || (!held_ && queue_.front() == ticket); });
    Result result = Result::Granted;
    if (stopped_) {
        result = Result::Stopped;
    } else if (!mine) {
        result = Result::TimedOut;
    }
    queue_.erase(std::find(queue_.begin(), queue_.end(), ticket));
    if (result == Result::Granted) {
        held_ = true;
    }
    updateWaiterEvent();
    // The next in line may now be first.
    changed_.notify_all();
    return result;
}

void DeviceTurns::release() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
    changed_.notify_all();
}

bool DeviceTurns::othersWaiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !queue_.empty();
}

void DeviceTurns::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
}

void DeviceTurns::updateWaiterEvent() {
    if (queue_.empty()) {
        waiterEvent_.clear();
    } else {
        waiterEvent_.set();
    }
}
