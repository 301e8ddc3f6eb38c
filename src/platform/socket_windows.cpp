#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <mutex>

#include "platform/socket.h"

namespace vexa::platform {

namespace {

SOCKET socketOf(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

SocketHandle handleOf(SOCKET socket) {
    return socket == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(socket);
}

// Winsock is started once per process and left running: other users in
// the process (the TLS library) start and stop it on their own count.
bool startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

void noDelay(SOCKET socket) {
    const BOOL on = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

// Waits until the socket is readable (or writable); 1 ready, 0 time-out,
// -1 failure.
int waitFor(SOCKET socket, bool write, int timeoutMs) {
    WSAPOLLFD pfd{};
    pfd.fd = socket;
    pfd.events = write ? POLLWRNORM : POLLRDNORM;
    const int ready = WSAPoll(&pfd, 1, timeoutMs);
    return ready == SOCKET_ERROR ? -1 : (ready == 0 ? 0 : 1);
}

struct AddressList {
    addrinfo* head = nullptr;
    ~AddressList() {
        if (head != nullptr) {
            freeaddrinfo(head);
        }
    }
};

int resolve(const std::string& host, const std::string& port, bool passive, AddressList& list) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    return getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &list.head);
}

SOCKET newSocket(const addrinfo& a) {
    // Not inherited by programs the process starts.
    return WSASocketW(a.ai_family, a.ai_socktype, a.ai_protocol, nullptr, 0,
                      WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

int clampLength(size_t length) {
    return length > INT_MAX ? INT_MAX : static_cast<int>(length);
}

}  // namespace

SocketHandle connectPacketSocket(const std::string& /*path*/) {
    // Windows has no packet sockets on a path: the link goes over TCP.
    return kNoSocket;
}

SocketHandle connectTcp(const std::string& host, const std::string& port) {
    AddressList list;
    if (!startWinsock() || resolve(host, port, false, list) != 0) {
        return kNoSocket;
    }
    for (const addrinfo* a = list.head; a != nullptr; a = a->ai_next) {
        const SOCKET s = newSocket(*a);
        if (s == INVALID_SOCKET) {
            continue;
        }
        if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
            noDelay(s);
            return handleOf(s);
        }
        closesocket(s);
    }
    return kNoSocket;
}

SocketHandle listenTcp(const std::string& host, const std::string& port, std::string& error) {
    AddressList list;
    if (!startWinsock() || resolve(host, port, true, list) != 0) {
        error = "cannot resolve " + host + ":" + port;
        return kNoSocket;
    }
    error = "cannot listen on " + host + ":" + port;
    for (const addrinfo* a = list.head; a != nullptr; a = a->ai_next) {
        const SOCKET s = newSocket(*a);
        if (s == INVALID_SOCKET) {
            continue;
        }
        // No other program may take the port from under the listener.
        const BOOL on = TRUE;
        setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                   sizeof on);
        if (bind(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 && listen(s, 16) == 0) {
            error.clear();
            return handleOf(s);
        }
        error += " (error " + std::to_string(WSAGetLastError()) + ")";
        closesocket(s);
    }
    return kNoSocket;
}

uint16_t localPort(SocketHandle socket) {
    sockaddr_storage addr{};
    int length = sizeof addr;
    if (getsockname(socketOf(socket), reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
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
    const SOCKET s = accept(socketOf(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        return kNoSocket;
    }
    noDelay(s);
    return handleOf(s);
}

long sendSome(SocketHandle socket, const uint8_t* data, size_t length, bool wait) {
    if (!wait && waitFor(socketOf(socket), true, 0) == 0) {
        return 0;
    }
    const int n =
        send(socketOf(socket), reinterpret_cast<const char*>(data), clampLength(length), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

long receiveSome(SocketHandle socket, uint8_t* data, size_t length, int timeoutMs) {
    const int ready = waitFor(socketOf(socket), false, timeoutMs);
    if (ready <= 0) {
        return ready;
    }
    const int n = recv(socketOf(socket), reinterpret_cast<char*>(data), clampLength(length), 0);
    return n > 0 ? n : -1;  // 0: the peer closed the connection
}

void shutdownSocket(SocketHandle socket) {
    shutdown(socketOf(socket), SD_BOTH);
}

void closeSocket(SocketHandle socket) {
    if (socket != kNoSocket) {
        closesocket(socketOf(socket));
    }
}

}  // namespace vexa::platform
