// An event one thread sets and another waits for together with sockets:
// readable while set. Lets a waiting thread sleep until a connection, a
// stop or a new waiter arrives instead of waking up periodically to look.
#pragma once

namespace vexa::platform {

class WakeEvent {
public:
    // Throws std::system_error when the system has no descriptor left.
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    void set();
    void clear();
    // Readable (for waitForInput) while the event is set.
    int descriptor() const { return fd_; }

private:
    int fd_;
};

// Waits until one of the descriptors is readable (or its peer hung up), or
// timeoutMs passed (below 0: no limit). Returns a bit mask, bit i for
// descriptors[i] (at most 32); 0 on time-out.
unsigned waitForInput(const int* descriptors, int count, int timeoutMs);

}  // namespace vexa::platform
