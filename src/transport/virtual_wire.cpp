#include "transport/virtual_wire.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vexa::virtual_wire {

Writer& Writer::u8(uint8_t v) {
    bytes_.push_back(v);
    return *this;
}

Writer& Writer::u16(uint16_t v) {
    bytes_.push_back(static_cast<uint8_t>(v));
    bytes_.push_back(static_cast<uint8_t>(v >> 8));
    return *this;
}

Writer& Writer::u32(uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) {
        bytes_.push_back(static_cast<uint8_t>(v >> shift));
    }
    return *this;
}

Writer& Writer::str(const std::string& s) {
    size_t n = s.size() > 0xFFFF ? 0xFFFF : s.size();
    u16(static_cast<uint16_t>(n));
    return raw(reinterpret_cast<const uint8_t*>(s.data()), n);
}

Writer& Writer::raw(const uint8_t* data, size_t length) {
    bytes_.insert(bytes_.end(), data, data + length);
    return *this;
}

Writer& Writer::record(const DeviceRecord& r) {
    return str(r.path)
        .u16(r.vendorId)
        .u16(r.productId)
        .str(r.serialNumber)
        .str(r.manufacturer)
        .str(r.product)
        .u16(r.usagePage)
        .u16(r.usage)
        .u16(r.reportLength);
}

bool Reader::take(size_t n) {
    if (!ok_ || length_ - pos_ < n) {
        ok_ = false;
        return false;
    }
    return true;
}

uint8_t Reader::u8() {
    if (!take(1)) {
        return 0;
    }
    return data_[pos_++];
}

uint16_t Reader::u16() {
    if (!take(2)) {
        return 0;
    }
    uint16_t v = static_cast<uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
}

uint32_t Reader::u32() {
    if (!take(4)) {
        return 0;
    }
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | data_[pos_ + static_cast<size_t>(i)];
    }
    pos_ += 4;
    return v;
}

std::string Reader::str() {
    uint16_t n = u16();
    if (!take(n)) {
        return {};
    }
    std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
}

DeviceRecord Reader::record() {
    DeviceRecord r;
    r.path = str();
    r.vendorId = u16();
    r.productId = u16();
    r.serialNumber = str();
    r.manufacturer = str();
    r.product = str();
    r.usagePage = u16();
    r.usage = u16();
    r.reportLength = u16();
    return r;
}

bool sendMessage(int fd, const std::vector<uint8_t>& message) {
    if (message.size() > kMaxMessage) {
        return false;
    }
    for (;;) {
        ssize_t n = ::send(fd, message.data(), message.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n == static_cast<ssize_t>(message.size());
    }
}

SendResult trySendMessage(int fd, const std::vector<uint8_t>& message) {
    if (message.size() > kMaxMessage) {
        return SendResult::Failed;
    }
    for (;;) {
        ssize_t n = ::send(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return SendResult::NoRoom;
        }
        return n == static_cast<ssize_t>(message.size()) ? SendResult::Sent : SendResult::Failed;
    }
}

long receiveMessage(int fd, std::vector<uint8_t>& buffer, int timeoutMs) {
    buffer.resize(kMaxMessage);
    // A message that is already there is taken at once; only an empty
    // socket costs a poll.
    for (bool waited = false;; waited = true) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n > 0) {
            return static_cast<long>(n);
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return -1;
        }
        if (errno == EINTR) {
            continue;
        }
        if (waited && timeoutMs == 0) {
            return 0;
        }
        pollfd pfd{fd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, timeoutMs);
        while (ready < 0 && errno == EINTR) {
            ready = ::poll(&pfd, 1, timeoutMs);
        }
        if (ready < 0) {
            return -1;
        }
        if (ready == 0) {
            return 0;
        }
    }
}

int connectSocket(const std::string& path) {
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        return -1;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string deviceLockFile(const std::string& socketPath, const std::string& devicePath) {
    std::string name = devicePath;
    for (char& c : name) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                           (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
        if (!plain) {
            c = '-';
        }
    }
    return socketPath + "." + name + ".lock";
}

}  // namespace vexa::virtual_wire
