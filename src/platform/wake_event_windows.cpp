// The event is a UDP socket on the loopback interface connected to itself:
// set() sends it a one-byte datagram, clear() reads every datagram queued,
// and the socket is readable exactly while one waits. Being a socket, it
// waits in WSAPoll together with the connections, as the event on Linux
// waits in poll.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <system_error>

#include "platform/platform.h"
#include "platform/wake_event.h"
#include "platform/winsock_windows.h"

namespace vexa::platform {

namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(WSAGetLastError(), std::system_category(), what);
}

}  // namespace

WakeEvent::WakeEvent() : fd_(-1) {
    if (!startWinsock()) {
        throw std::system_error(WSASYSNOTREADY, std::system_category(), "WSAStartup");
    }
    const SOCKET socket = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                       WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
        fail("socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof address;
    u_long nonBlocking = 1;
    // Bound to a port of its own, then connected to it: nothing from any
    // other socket is accepted.
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) {
        const int code = WSAGetLastError();
        ::closesocket(socket);
        throw std::system_error(code, std::system_category(), "loopback event socket");
    }
    fd_ = static_cast<int>(socket);
}

WakeEvent::~WakeEvent() {
    ::closesocket(static_cast<SOCKET>(fd_));
}

void WakeEvent::set() {
    const char one = 1;
    // A full queue is still set; nothing to add.
    ::send(static_cast<SOCKET>(fd_), &one, 1, 0);
}

void WakeEvent::clear() {
    char byte;
    while (::recv(static_cast<SOCKET>(fd_), &byte, 1, 0) != SOCKET_ERROR) {
    }
}

unsigned waitForInput(const int* descriptors, int count, int timeoutMs) {
    WSAPOLLFD entries[32];
    count = count > 32 ? 32 : count;
    if (count <= 0) {
        // WSAPoll refuses an empty set: only the time passes.
        sleepMilliseconds(timeoutMs);
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        entries[i] = WSAPOLLFD{static_cast<SOCKET>(descriptors[i]), POLLRDNORM, 0};
    }
    const int ready = ::WSAPoll(entries, static_cast<ULONG>(count), timeoutMs < 0 ? -1 : timeoutMs);
    unsigned mask = 0;
    for (int i = 0; ready > 0 && i < count; ++i) {
        if ((entries[i].revents & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) != 0) {
            mask |= 1u << i;
        }
    }
    return mask;
}

}  // namespace vexa::platform
