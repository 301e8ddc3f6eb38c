// The owner of one POSIX file descriptor: closed when its owner goes or is
// given another. For the code that runs on Linux only (the *_linux.cpp and
// systemd files here, vexa-sim); sockets of code built for both systems are
// SocketHandles (socket.h).
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <utility>

#include "platform/write_whole.h"

namespace vexa::platform {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    // -1 when there is none.
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes the descriptor held, if any, and holds fd.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

// Writes all length bytes to fd, again after a signal or a partial write.
// False when a write fails (errno tells why) or takes nothing.
inline bool writeAll(int fd, const void* data, size_t length) {
    return writeWhole(static_cast<const uint8_t*>(data), length,
                      [fd](const uint8_t* part, size_t size) {
                          for (;;) {
                              const ssize_t n = ::write(fd, part, size);
                              if (n >= 0 || errno != EINTR) {
                                  return static_cast<long>(n);
                              }
                          }
                      });
}

}  // namespace vexa::platform
