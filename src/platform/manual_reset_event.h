// An event that stays signalled once set, until it is reset: every waiter,
// now or later, passes.
#pragma once

#include <condition_variable>
#include <mutex>

namespace vexa::platform {

class ManualResetEvent {
public:
    ManualResetEvent() = default;
    explicit ManualResetEvent(bool signalled) : signalled_(signalled) {}
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void set() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_ = true;
        }
        changed_.notify_all();
    }

    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = false;
    }

    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return signalled_; });
    }

    bool isSet() {
        std::lock_guard<std::mutex> lock(mutex_);
        return signalled_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_ = false;
};

}  // namespace vexa::platform
