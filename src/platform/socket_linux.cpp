#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/socket.h"

namespace vexa::platform {

namespace {

int fdOf(SocketHandle socket) {
    return static_cast<int>(socket);
}

void noDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Waits until the socket is readable (or writable); 1 ready, 0 time-out,
// -1 failure.
int waitFor(int fd, short events, int timeoutMs) {
    pollfd pfd{fd, events, 0};
    int ready;
    do {
        ready = ::poll(&pfd, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready < 0 ? -1 : (ready == 0 ? 0 : 1);
}

struct AddressList {
    addrinfo* head = nullptr;
    ~AddressList() {
        if (head != nullptr) {
            ::freeaddrinfo(head);
        }
    }
};

int resolve(const std::string& host, const std::string& port, bool passive, AddressList& list) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    return ::getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &list.head);
}

}  // namespace

SocketHandle connectPacketSocket(const std::string& path) {
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        return kNoSocket;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return kNoSocket;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return kNoSocket;
    }
    return fd;
}

SocketHandle connectTcp(const std::string& host, const std::string& port) {
    AddressList list;
    if (resolve(host, port, false, list) != 0) {
        return kNoSocket;
    }
    for (const addrinfo* a = list.head; a != nullptr; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            continue;
        }
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            noDelay(fd);
            return fd;
        }
        ::close(fd);
    }
    return kNoSocket;
}

SocketHandle listenTcp(const std::string& host, const std::string& port, std::string& error) {
    AddressList list;
    if (const int rc = resolve(host, port, true, list); rc != 0) {
        error = "cannot resolve " + host + ":" + port + ": " + ::gai_strerror(rc);
        return kNoSocket;
    }
    error = "cannot listen on " + host + ":" + port;
    for (const addrinfo* a = list.head; a != nullptr; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            continue;
        }
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 16) == 0) {
            error.clear();
            return fd;
        }
        error += std::string(": ") + std::strerror(errno);
        ::close(fd);
    }
    return kNoSocket;
}

uint16_t localPort(SocketHandle socket) {
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    if (::getsockname(fdOf(socket), reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        return 0;
    }
    if (addr.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
    }
    if (addr.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
    }
    return 0;
}

SocketHandle acceptTcp(SocketHandle listener) {
    const int fd = ::accept4(fdOf(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return kNoSocket;
    }
    noDelay(fd);
    return fd;
}

long sendSome(SocketHandle socket, const uint8_t* data, size_t length, bool wait) {
    const int flags = MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT);
    for (;;) {
        const ssize_t n = ::send(fdOf(socket), data, length, flags);
        if (n >= 0) {
            return static_cast<long>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        return !wait && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

long receiveSome(SocketHandle socket, uint8_t* data, size_t length, int timeoutMs) {
    // What is already there is taken at once; only an empty socket costs a
    // poll.
    for (;;) {
        const ssize_t n = ::recv(fdOf(socket), data, length, MSG_DONTWAIT);
        if (n > 0) {
            return static_cast<long>(n);
        }
        if (n == 0) {
            return -1;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return -1;
        }
        if (timeoutMs == 0) {
            return 0;
        }
        const int ready = waitFor(fdOf(socket), POLLIN, timeoutMs);
        if (ready <= 0) {
            return ready;
        }
    }
}

void shutdownSocket(SocketHandle socket) {
    ::shutdown(fdOf(socket), SHUT_RDWR);
}

void closeSocket(SocketHandle socket) {
    if (socket != kNoSocket) {
        ::close(fdOf(socket));
    }
}

}  // namespace vexa::platform
