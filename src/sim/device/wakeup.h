// Wakes connections that wait for a report when something changes under
// them: the simulator stops, or a device vanishes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vexa::sim {

class Wakeup {
public:
    using Clock = std::chrono::steady_clock;

    void notifyAll() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++epoch_;
        }
        changed_.notify_all();
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            ++epoch_;
        }
        changed_.notify_all();
    }

    bool stopping() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopping_;
    }

    // Waits until `done()` holds, the simulator stops, or `deadline`
    // passes (no deadline: Clock::time_point::max()). `done` is checked
    // again after every notification and must not take this object's lock.
    template <class Done>
    void waitUntil(Clock::time_point deadline, Done done) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_ && !done()) {
            if (deadline == Clock::time_point::max()) {
                changed_.wait(lock);
            } else if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
                return;
            }
        }
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    unsigned long epoch_ = 0;
};

}  // namespace vexa::sim
