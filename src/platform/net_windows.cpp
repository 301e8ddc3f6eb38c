// TCP sockets over Winsock: connecting with a time-out and switching off
// Nagle's algorithm. A SOCKET travels in an int: the TLS library keeps it
// there, and Windows socket handles are kernel handles, whose values fit in
// 32 bits on 64-bit Windows too (they are shared with 32-bit processes).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <climits>
#include <memory>

#include "platform/platform.h"
#include "platform/winsock_windows.h"

namespace vexa::platform {

bool startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

void errnoFromWinsock() {
    switch (WSAGetLastError()) {
        case WSAEWOULDBLOCK:
            errno = EWOULDBLOCK;
            break;
        case WSAEINTR:
            errno = EINTR;
            break;
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAENETRESET:
            errno = ECONNRESET;
            break;
        case WSAESHUTDOWN:
        case WSAENOTCONN:
            errno = EPIPE;
            break;
        case WSAETIMEDOUT:
            errno = ETIMEDOUT;
            break;
        case WSAECONNREFUSED:
            errno = ECONNREFUSED;
            break;
        case WSAENOTSOCK:
            errno = EBADF;
            break;
        default:
            errno = EIO;
            break;
    }
}

namespace {

struct AddressListFree {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

// Text for a Winsock error code, without the trailing line break.
std::string winsockMessage(int code) {
    char text[256] = {};
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message.empty() ? "Winsock error " + std::to_string(code) : message;
}

bool setBlocking(SOCKET socket, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ::ioctlsocket(socket, FIONBIO, &nonBlocking) == 0;
}

// Waits until a non-blocking connect on socket has finished or timeoutMs
// passed. 0 when connected, else a Winsock error (WSAETIMEDOUT when the time
// ran out). select, not WSAPoll: WSAPoll does not report every failed
// connection attempt.
int finishConnect(SOCKET socket, int timeoutMs) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int ready = ::select(0, nullptr, &writable, &failed, timeoutMs > 0 ? &limit : nullptr);
    if (ready == SOCKET_ERROR) {
        return WSAGetLastError();
    }
    if (ready == 0) {
        return WSAETIMEDOUT;
    }
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
        return WSAGetLastError();
    }
    if (error == 0 && FD_ISSET(socket, &failed)) {
        return WSAECONNREFUSED;
    }
    return error;
}

// One connection attempt to one address; the socket or INVALID_SOCKET with a
// Winsock error in *error.
SOCKET tryAddress(const addrinfo& address, int timeoutMs, int* error) {
    // Not inherited by programs the process starts.
    const SOCKET socket =
        ::WSASocketW(address.ai_family, address.ai_socktype, address.ai_protocol, nullptr, 0,
                     WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
        *error = WSAGetLastError();
        return INVALID_SOCKET;
    }
    int result = setBlocking(socket, false) ? 0 : WSAGetLastError();
    if (result == 0 &&
        ::connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
        const int code = WSAGetLastError();
        result = code == WSAEWOULDBLOCK ? finishConnect(socket, timeoutMs) : code;
    }
    if (result == 0 && !setBlocking(socket, true)) {
        result = WSAGetLastError();
    }
    if (result != 0) {
        ::closesocket(socket);
        *error = result;
        return INVALID_SOCKET;
    }
    return socket;
}

}  // namespace

bool setTcpNoDelay(int socketDescriptor) {
    const BOOL on = TRUE;
    return ::setsockopt(static_cast<SOCKET>(socketDescriptor), IPPROTO_TCP, TCP_NODELAY,
                        reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

std::vector<unsigned char> ipAddressBytes(const std::string& text) {
    if (!startWinsock()) {
        return {};
    }
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
    // Winsock raises no signal for a closed peer; send fails instead.
    const int chunk = length > INT_MAX ? INT_MAX : static_cast<int>(length);
    const int sent =
        ::send(static_cast<SOCKET>(socketDescriptor), static_cast<const char*>(data), chunk, 0);
    if (sent == SOCKET_ERROR) {
        errnoFromWinsock();
        return -1;
    }
    return sent;
}

int connectTcp(const std::string& host, int port, int timeoutMs, std::string* error) {
    if (!startWinsock()) {
        *error = "cannot start Winsock";
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int lookup = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (lookup != 0) {
        *error = "cannot resolve " + host + ": " + winsockMessage(lookup);
        return -1;
    }
    std::unique_ptr<addrinfo, AddressListFree> list(found);
    // Every address gets the whole time-out: a name that resolves to an
    // unreachable address first still reaches the next one.
    int lastError = WSAECONNREFUSED;
    for (const addrinfo* address = list.get(); address != nullptr; address = address->ai_next) {
        const SOCKET socket = tryAddress(*address, timeoutMs, &lastError);
        if (socket != INVALID_SOCKET) {
            return static_cast<int>(socket);
        }
    }
    *error = lastError == WSAETIMEDOUT ? "no answer within " + std::to_string(timeoutMs) + " ms"
                                       : winsockMessage(lastError);
    return -1;
}

bool peerHasClosed(int socketDescriptor) {
    // WSAPoll reports a connection the peer closed or reset as POLLHUP.
    WSAPOLLFD entry{};
    entry.fd = static_cast<SOCKET>(socketDescriptor);
    entry.events = POLLRDNORM;
    const int ready = WSAPoll(&entry, 1, 0);
    return ready > 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace vexa::platform
