// A datagram socket standing where systemd's notify socket would be: tests
// point NOTIFY_SOCKET at it and read what a service reports.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace vexa::test {

class NotifySocket {
public:
    // Binds a socket at path (which must not exist yet).
    explicit NotifySocket(std::string path) : path_(std::move(path)) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (fd_ < 0 || path_.size() >= sizeof address.sun_path) {
            return;
        }
        std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~NotifySocket() {
        if (fd_ >= 0) {
            close(fd_);
            unlink(path_.c_str());
        }
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }

    // Waits for a message that holds line as a whole line, looking only at
    // messages after the one that satisfied the previous wait, so that a
    // series of waits checks the order of the reports. True when it came
    // within the time-out. Every message read is kept in messages().
    bool waitForLine(const std::string& line,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        return waitFor(line, false, timeout);
    }
    // The same for a line that starts with prefix.
    bool waitForLinePrefix(const std::string& prefix,
                           std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        return waitFor(prefix, true, timeout);
    }

    const std::vector<std::string>& messages() const { return messages_; }

    // True when message holds line as a whole line (or, with prefix, a line
    // that starts with it).
    static bool HasLine(const std::string& message, const std::string& line, bool prefix = false) {
        size_t start = 0;
        while (start <= message.size()) {
            size_t end = message.find('\n', start);
            if (end == std::string::npos) {
                end = message.size();
            }
            const size_t length = prefix ? line.size() : end - start;
            if ((prefix || length == line.size()) && end - start >= line.size() &&
                message.compare(start, length, line) == 0) {
                return true;
            }
            start = end + 1;
        }
        return false;
    }

private:
    bool waitFor(const std::string& line, bool prefix, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            while (next_ < messages_.size()) {
                if (HasLine(messages_[next_++], line, prefix)) {
                    return true;
                }
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd pfd{fd_, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char buffer[4096];
            ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) {
                messages_.emplace_back(buffer, static_cast<size_t>(n));
            }
        }
    }

    std::string path_;
    int fd_ = -1;
    std::vector<std::string> messages_;
    size_t next_ = 0;  // first message not looked at by a wait
};

}  // namespace vexa::test
