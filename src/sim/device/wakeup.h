// Wakes connections that wait on their sockets when something changes under
// them: the simulator stops, or a device vanishes. Each waiting connection
// subscribes a pipe, whose read end it polls beside its socket.
#pragma once

#include <mutex>
#include <vector>

#include "platform/file_descriptor.h"

namespace vexa::sim {

class Wakeup {
public:
    // A pipe whose read end becomes readable at every notification while it
    // is subscribed; unsubscribed and closed when destroyed.
    class Subscription {
    public:
        explicit Subscription(Wakeup& wakeup);
        ~Subscription();
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;

        // False when no pipe could be made (out of descriptors).
        bool ok() const { return readFd_.valid(); }
        // The descriptor to poll for readability.
        int fd() const { return readFd_.get(); }
        // Takes the pending notifications, so the next poll waits again.
        void drain();

    private:
        Wakeup& wakeup_;
        platform::FileDescriptor readFd_;
        platform::FileDescriptor writeFd_;
    };

    void notifyAll();
    void stop();
    bool stopping() const;

private:
    void notifyLocked();

    mutable std::mutex mutex_;
    bool stopping_ = false;
    std::vector<int> subscribers_;  // write ends of the subscribed pipes
};

}  // namespace vexa::sim
