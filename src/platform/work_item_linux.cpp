#include <cerrno>
#include <system_error>

#include "platform/work_item.h"

namespace vexa::platform {

WorkItem::WorkItem() = default;

WorkItem::~WorkItem() {
    wait();
}

SystemErrorCode WorkItem::start(std::function<void()> function) {
    if (started_) {
        return kErrorServiceAlreadyRunning;
    }
    function_ = std::move(function);
    try {
        thread_ = std::thread([this] {
            try {
                function_();
            } catch (...) {
            }
        });
    } catch (const std::system_error& e) {
        return systemErrorFromErrno(e.code().value());
    }
    started_ = true;
    return kErrorSuccess;
}

void WorkItem::wait() {
    if (!started_ || thread_.get_id() == std::this_thread::get_id()) {
        return;
    }
    thread_.join();
    started_ = false;
}

}  // namespace vexa::platform
