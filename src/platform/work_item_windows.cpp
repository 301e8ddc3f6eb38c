#include <windows.h>

#include <system_error>

#include "platform/work_item.h"

namespace vexa::platform {

WorkItem::WorkItem() : finished_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    if (finished_ == nullptr) {
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "CreateEvent");
    }
}

WorkItem::~WorkItem() {
    wait();
    CloseHandle(finished_);
}

unsigned long __stdcall WorkItem::run(void* context) {
    auto* item = static_cast<WorkItem*>(context);
    item->threadId_ = GetCurrentThreadId();
    try {
        item->function_();
    } catch (...) {
    }
    // The last touch of the item: once the event is set, the owner may
    // destroy it.
    SetEvent(item->finished_);
    return 0;
}

SystemErrorCode WorkItem::start(std::function<void()> function) {
    if (started_) {
        return kErrorServiceAlreadyRunning;
    }
    function_ = std::move(function);
    ResetEvent(finished_);
    if (!QueueUserWorkItem(&WorkItem::run, this, WT_EXECUTELONGFUNCTION)) {
        const DWORD error = GetLastError();
        return error != 0 ? error : kErrorGenFailure;
    }
    started_ = true;
    return kErrorSuccess;
}

void WorkItem::wait() {
    if (!started_ || threadId_ == GetCurrentThreadId()) {
        return;
    }
    WaitForSingleObject(finished_, INFINITE);
    started_ = false;
    threadId_ = 0;
}

}  // namespace vexa::platform
