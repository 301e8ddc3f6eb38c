#include "sim/device/wakeup.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vexa::sim {

Wakeup::Subscription::Subscription(Wakeup& wakeup) : wakeup_(wakeup) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    readFd_.reset(fds[0]);
    writeFd_.reset(fds[1]);
    std::lock_guard<std::mutex> lock(wakeup_.mutex_);
    wakeup_.subscribers_.push_back(writeFd_.get());
    if (wakeup_.stopping_) {
        // Stopped before this subscriber came: it must not wait.
        const char byte = 1;
        [[maybe_unused]] ssize_t n = ::write(writeFd_.get(), &byte, 1);
    }
}

Wakeup::Subscription::~Subscription() {
    if (!readFd_.valid()) {
        return;
    }
    // Unsubscribed before the pipe closes (with the members), so that no
    // notification writes to a closed descriptor.
    std::lock_guard<std::mutex> lock(wakeup_.mutex_);
    auto& subscribers = wakeup_.subscribers_;
    subscribers.erase(std::remove(subscribers.begin(), subscribers.end(), writeFd_.get()),
                      subscribers.end());
}

void Wakeup::Subscription::drain() {
    char bytes[64];
    for (;;) {
        const ssize_t n = ::read(readFd_.get(), bytes, sizeof bytes);
        if (n > 0 || (n < 0 && errno == EINTR)) {
            continue;
        }
        return;
    }
}

void Wakeup::notifyAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    notifyLocked();
}

void Wakeup::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    notifyLocked();
}

bool Wakeup::stopping() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

void Wakeup::notifyLocked() {
    // A full pipe already holds a notification: nothing is lost.
    const char byte = 1;
    for (const int fd : subscribers_) {
        [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1);
    }
}

}  // namespace vexa::sim
