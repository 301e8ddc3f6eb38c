// An event that stays signalled once set, until it is reset: every waiter,
// now or later, passes. Windows: the system's manual-reset event. Linux: a
// mutex and a condition variable.
#pragma once

#ifndef _WIN32
#include <condition_variable>
#include <mutex>
#endif

namespace vexa::platform {

#ifdef _WIN32
class ManualResetEvent {
public:
    // Throws std::system_error when the system has no event to give.
    explicit ManualResetEvent(bool signalled = false);
    ~ManualResetEvent();
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void set();
    void reset();
    // Waits without a time limit; throws std::system_error when the wait
    // fails.
    void wait();
    bool isSet();

private:
    void* handle_;
};
#else
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
#endif

}  // namespace vexa::platform
