// Open-file-description locks (F_OFD_SETLK) on bytes of the device node or
// lock file (see byte_range_device_lock.h). Unlike flock they lock byte
// ranges independently, and unlike classic POSIX locks they belong to the
// open file, not to the process: two contexts in one process are two users,
// and closing another descriptor of the same file releases nothing. Locks
// on a device node need no data in it: the kernel locks the inode.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/byte_range_device_lock.h"
#include "platform/file_descriptor.h"

namespace vexa::platform {

namespace {

class LinuxDeviceLock : public ByteRangeDeviceLock {
public:
    explicit LinuxDeviceLock(int fd) : fd_(fd) {}

    // Replacing an OFD write lock by a read lock is atomic in the kernel.
    void share() override { tryLock(kPresenceByte, false); }

protected:
    Outcome tryLock(int byte, bool exclusive) override {
        if (setLock(byte, exclusive ? F_WRLCK : F_RDLCK)) {
            return Outcome::Taken;
        }
        return errno == EAGAIN || errno == EACCES ? Outcome::Busy : Outcome::Failed;
    }

    void unlock(int byte) override { setLock(byte, F_UNLCK); }

private:
    bool setLock(int byte, short type) {
        struct flock lock;
        std::memset(&lock, 0, sizeof lock);
        lock.l_type = type;
        lock.l_whence = SEEK_SET;
        lock.l_start = byte;
        lock.l_len = 1;
        int rc;
        do {
            rc = ::fcntl(fd_.get(), F_OFD_SETLK, &lock);
        } while (rc != 0 && errno == EINTR);
        return rc == 0;
    }

    FileDescriptor fd_;
};

int openFile(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_RDWR | O_CLOEXEC | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

std::unique_ptr<DeviceLock> DeviceLock::open(const std::string& path, bool create,
                                             std::string& error) {
    // Read and write access: a shared lock needs one, an exclusive the other.
    // A lock file is opened as it is first: in a sticky directory such as
    // /tmp the system refuses O_CREAT on another user's file. One made here
    // is opened to every user, whatever the umask, so that their processes
    // can lock it too.
    int fd = openFile(path, 0);
    for (int attempt = 0; fd < 0 && errno == ENOENT && create && attempt < 2; ++attempt) {
        fd = openFile(path, O_CREAT | O_EXCL | O_NOFOLLOW);
        if (fd >= 0) {
            (void)::fchmod(fd, 0666);
        } else if (errno == EEXIST) {
            fd = openFile(path, 0);  // another process made it meanwhile
        }
    }
    if (fd < 0) {
        error = "Unable to lock device " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<LinuxDeviceLock>(fd);
}

std::string DeviceLock::sharedDirectory() {
    return "/tmp/";
}

}  // namespace vexa::platform
