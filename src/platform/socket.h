// Stream and packet sockets, for the link between the host software and
// vexa-sim. A handle is the system's socket (a descriptor on Linux, a
// Winsock SOCKET on Windows) held in an integer wide enough for both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexa::platform {

using SocketHandle = intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

// Connects to a local packet socket (SOCK_SEQPACKET, message boundaries
// kept) at path. kNoSocket on failure, and where the system has no such
// sockets.
SocketHandle connectPacketSocket(const std::string& path);

// Connects a TCP socket to host:port (port a number or service name) with
// Nagle's delay off: the link sends small messages that wait for an answer.
SocketHandle connectTcp(const std::string& host, const std::string& port);

// Binds and listens on host:port (port "0": a free port the system picks).
// kNoSocket with error set on failure.
SocketHandle listenTcp(const std::string& host, const std::string& port, std::string& error);

// The local port a socket is bound to (0 when unknown).
uint16_t localPort(SocketHandle socket);

// Accepts one connection on a listening TCP socket (Nagle's delay off).
SocketHandle acceptTcp(SocketHandle listener);

// Sends up to length bytes. wait false: takes only what fits now, 0 when
// nothing fits. Returns the bytes taken, or -1 on failure (the peer gone
// included; never a signal).
long sendSome(SocketHandle socket, const uint8_t* data, size_t length, bool wait);

// Sends all length bytes, waiting for room. False on failure.
bool sendAll(SocketHandle socket, const uint8_t* data, size_t length);

// Receives what is there, up to length bytes (one packet on a packet
// socket), waiting at most timeoutMs (-1: no limit) for something to come.
// Returns the bytes received, 0 on time-out, -1 when the peer closed the
// connection or on failure.
long receiveSome(SocketHandle socket, uint8_t* data, size_t length, int timeoutMs);

// Ends both directions at once; the peer and any waiting call see the end.
void shutdownSocket(SocketHandle socket);

void closeSocket(SocketHandle socket);

}  // namespace vexa::platform
