#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "platform/platform.h"
#include "platform/wake_event.h"

namespace vexa::platform {

WakeEvent::WakeEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

WakeEvent::~WakeEvent() {
    ::close(fd_);
}

void WakeEvent::set() {
    const uint64_t one = 1;
    // A full counter is still set; nothing to add.
    [[maybe_unused]] ssize_t written = ::write(fd_, &one, sizeof one);
}

void WakeEvent::clear() {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t got = ::read(fd_, &value, sizeof value);
}

unsigned waitForInput(const int* descriptors, int count, int timeoutMs) {
    pollfd entries[32];
    count = count > 32 ? 32 : count;
    for (int i = 0; i < count; ++i) {
        entries[i] = pollfd{descriptors[i], POLLIN, 0};
    }
    int ready;
    do {
        ready = ::poll(entries, static_cast<nfds_t>(count), timeoutMs < 0 ? -1 : timeoutMs);
    } while (ready < 0 && errno == EINTR);
    unsigned mask = 0;
    for (int i = 0; ready > 0 && i < count; ++i) {
        if ((entries[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
            mask |= 1u << i;
        }
    }
    return mask;
}

}  // namespace vexa::platform
