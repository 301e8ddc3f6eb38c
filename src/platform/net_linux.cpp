// TCP sockets: connecting with a time-out and switching off Nagle's
// algorithm.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace vexa::platform {

namespace {

struct AddressListFree {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

// Waits until a non-blocking connect on fd has finished or timeoutMs passed.
// 0 when connected, else an errno value (ETIMEDOUT when the time ran out).
int finishConnect(int fd, int timeoutMs) {
    pollfd entry{fd, POLLOUT, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, timeoutMs > 0 ? timeoutMs : -1);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        return errno;
    }
    if (ready == 0) {
        return ETIMEDOUT;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return errno;
    }
    return error;
}

// One connection attempt to one address; the descriptor or -1 with errno in
// *error.
int tryAddress(const addrinfo& address, int timeoutMs, int* error) {
    int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                      address.ai_protocol);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    int result = 0;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        result = errno == EINPROGRESS ? finishConnect(fd, timeoutMs) : errno;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (result == 0 && (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)) {
        result = errno;
    }
    if (result != 0) {
        ::close(fd);
        *error = result;
        return -1;
    }
    return fd;
}

}  // namespace

bool setTcpNoDelay(int socketDescriptor) {
    const int on = 1;
    return ::setsockopt(socketDescriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

std::vector<unsigned char> ipAddressBytes(const std::string& text) {
    unsigned char bytes[16];
    if (::inet_pton(AF_INET, text.c_str(), bytes) == 1) {
        return std::vector<unsigned char>(bytes, bytes + 4);
    }
    if (::inet_pton(AF_INET6, text.c_str(), bytes) == 1) {
        return std::vector<unsigned char>(bytes, bytes + 16);
    }
    return {};
}

long sendNoSignal(int socketDescriptor, const void* data, size_t length) {
    return static_cast<long>(::send(socketDescriptor, data, length, MSG_NOSIGNAL));
}

int connectTcp(const std::string& host, int port, int timeoutMs, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int lookup = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (lookup != 0) {
        *error = std::string("cannot resolve ") + host + ": " + ::gai_strerror(lookup);
        return -1;
    }
    std::unique_ptr<addrinfo, AddressListFree> list(found);
    // Every address gets the whole time-out: a name that resolves to an
    // unreachable address first still reaches the next one.
    int lastError = ECONNREFUSED;
    for (const addrinfo* address = list.get(); address != nullptr; address = address->ai_next) {
        const int fd = tryAddress(*address, timeoutMs, &lastError);
        if (fd >= 0) {
            return fd;
        }
    }
    *error = lastError == ETIMEDOUT ? "no answer within " + std::to_string(timeoutMs) + " ms"
                                    : std::string(std::strerror(lastError));
    return -1;
}

bool peerHasClosed(int socketDescriptor) {
    // POLLRDHUP: the peer's end of the stream arrived, whatever is still
    // unread before it.
    pollfd entry{socketDescriptor, POLLRDHUP, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace vexa::platform
