// One long-running function run on a thread the system provides: on
// Windows a work item of the system thread pool (QueueUserWorkItem, marked
// as long-running), on Linux a thread of its own.
#pragma once

#include <atomic>
#include <functional>

#include "platform/service_errors.h"

#ifndef _WIN32
#include <thread>
#endif

namespace vexa::platform {

class WorkItem {
public:
    WorkItem();
    // Waits for a function still running: the object it works on must not
    // go away under it.
    ~WorkItem();
    WorkItem(const WorkItem&) = delete;
    WorkItem& operator=(const WorkItem&) = delete;

    // Starts function; kErrorSuccess, kErrorServiceAlreadyRunning while an
    // earlier one has not been waited for, or the system's code when no
    // thread could be had. An exception that leaves the function is
    // swallowed: the caller catches what it cares about inside.
    SystemErrorCode start(std::function<void()> function);

    // True from a successful start until wait() has seen the function end.
    bool started() const { return started_; }

    // Waits until the function has returned. Returns at once when nothing
    // was started, or when called from the function itself.
    void wait();

private:
    std::function<void()> function_;
    bool started_ = false;
#ifdef _WIN32
    static unsigned long __stdcall run(void* item);
    void* finished_;                          // manual-reset event, set as the item's last act
    std::atomic<unsigned long> threadId_{0};  // the pool thread running the function
#else
    std::thread thread_;
#endif
};

}  // namespace vexa::platform
