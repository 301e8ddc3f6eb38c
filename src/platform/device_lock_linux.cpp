// Open-file-description locks (F_OFD_SETLK) on bytes of the device node or
// lock file: byte 0 is presence, byte 1 the exchange, byte 2 the turnstile
// in front of the exchange. Unlike flock they
// lock byte ranges independently, and unlike classic POSIX locks they belong
// to the open file, not to the process: two contexts in one process are two
// users, and closing another descriptor of the same file releases nothing.
// Locks on a device node need no data in it: the kernel locks the inode.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/device_lock.h"
#include "platform/platform.h"

namespace vexa::platform {

namespace {

constexpr off_t kPresenceByte = 0;
constexpr off_t kExchangeByte = 1;
constexpr off_t kTurnstileByte = 2;
// Polling interval while another process holds a part: short at first, and
// never long, since an exchange takes a few milliseconds.
constexpr int kFirstPollMs = 1;
constexpr int kMaxPollMs = 5;

using Deadline = int64_t;  // monotonic nanoseconds

Deadline deadlineIn(int waitMs) {
    return monotonicNanoseconds() + int64_t{std::max(waitMs, 0)} * 1000000;
}

class LinuxDeviceLock : public DeviceLock {
public:
    explicit LinuxDeviceLock(int fd) : fd_(fd) {}
    ~LinuxDeviceLock() override { ::close(fd_); }
    LinuxDeviceLock(const LinuxDeviceLock&) = delete;
    LinuxDeviceLock& operator=(const LinuxDeviceLock&) = delete;

    Presence join(bool exclusive, int waitMs) override {
        const Deadline deadline = deadlineIn(waitMs);
        if (exclusive) {
            return waitFor(kPresenceByte, F_WRLCK, deadline) ? Presence::Alone : Presence::Busy;
        }
        if (tryLock(kPresenceByte, F_WRLCK)) {
            return Presence::Alone;
        }
        return waitFor(kPresenceByte, F_RDLCK, deadline) ? Presence::Shared : Presence::Busy;
    }

    // Replacing an OFD write lock by a read lock is atomic in the kernel.
    void share() override { tryLock(kPresenceByte, F_RDLCK); }

    void leave() override { tryLock(kPresenceByte, F_UNLCK); }

    // A process that exchanges without pause would take the exchange again
    // before a polling waiter sees it free. The waiter therefore holds the
    // turnstile while it waits, and everyone passes the turnstile first: the
    // holder cannot come back before the waiter has had its turn.
    bool lockExchange(int waitMs) override {
        if (exchangeHeld_) {
            return true;
        }
        const Deadline deadline = deadlineIn(waitMs);
        if (!waitFor(kTurnstileByte, F_WRLCK, deadline)) {
            return false;
        }
        exchangeHeld_ = waitFor(kExchangeByte, F_WRLCK, deadline);
        tryLock(kTurnstileByte, F_UNLCK);
        return exchangeHeld_;
    }

    void unlockExchange() override {
        if (exchangeHeld_) {
            tryLock(kExchangeByte, F_UNLCK);
            exchangeHeld_ = false;
        }
    }

private:
    bool tryLock(off_t byte, short type) {
        struct flock lock;
        std::memset(&lock, 0, sizeof lock);
        lock.l_type = type;
        lock.l_whence = SEEK_SET;
        lock.l_start = byte;
        lock.l_len = 1;
        int rc;
        do {
            rc = ::fcntl(fd_, F_OFD_SETLK, &lock);
        } while (rc != 0 && errno == EINTR);
        return rc == 0;
    }

    // The kernel's blocking variant cannot be given a time limit without a
    // signal, which a library must not take from its application: poll.
    bool waitFor(off_t byte, short type, Deadline deadline) {
        int pollMs = kFirstPollMs;
        for (;;) {
            if (tryLock(byte, type)) {
                return true;
            }
            if (errno != EAGAIN && errno != EACCES) {
                return false;
            }
            const int64_t left = deadline - monotonicNanoseconds();
            if (left <= 0) {
                return false;
            }
            sleepMilliseconds(static_cast<int>(std::min<int64_t>(pollMs, left / 1000000 + 1)));
            pollMs = std::min(pollMs * 2, kMaxPollMs);
        }
    }

    int fd_;
    bool exchangeHeld_ = false;
};

}  // namespace

std::unique_ptr<DeviceLock> DeviceLock::open(const std::string& path, bool create,
                                             std::string& error) {
    // Read and write access: a shared lock needs one, an exclusive the other.
    const int flags = O_RDWR | O_CLOEXEC | O_NOCTTY | (create ? O_CREAT : 0);
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = "Unable to lock device " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<LinuxDeviceLock>(fd);
}

}  // namespace vexa::platform
