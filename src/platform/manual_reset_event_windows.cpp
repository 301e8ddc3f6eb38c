#include <windows.h>

#include <system_error>

#include "platform/manual_reset_event.h"

namespace vexa::platform {

namespace {
[[noreturn]] void throwLastError(const char* what) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}
}  // namespace

ManualResetEvent::ManualResetEvent(bool signalled)
    : handle_(CreateEventA(nullptr, TRUE, signalled ? TRUE : FALSE, nullptr)) {
    if (handle_ == nullptr) {
        throwLastError("CreateEvent");
    }
}

ManualResetEvent::~ManualResetEvent() {
    CloseHandle(handle_);
}

void ManualResetEvent::set() {
    SetEvent(handle_);
}

void ManualResetEvent::reset() {
    ResetEvent(handle_);
}

void ManualResetEvent::wait() {
    if (WaitForSingleObject(handle_, INFINITE) != WAIT_OBJECT_0) {
        throwLastError("WaitForSingleObject");
    }
}

bool ManualResetEvent::isSet() {
    return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0;
}

}  // namespace vexa::platform
