// One accepted client: its socket and its own TLS context over the server's
// shared configuration. Every read waits on the socket itself (no periodic
// wake-up); during the handshake a read also ends at the handshake's
// deadline or at a stop request.
#pragma once

#include <chrono>

#include "common/mbed_owner.h"

class ClientConnection {
public:
    explicit ClientConnection(const mbedtls_ssl_config& conf);
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // The socket mbedtls_net_accept fills.
    mbedtls_net_context* socket() { return &net_; }
    int descriptor() const { return net_.fd; }
    mbedtls_ssl_context& ssl() { return ssl_; }

    // Prepares the accepted socket (blocking, no Nagle delay, not inherited
    // by programs the daemon starts) and completes the handshake within
    // deadlineMs. False after "ssl handshake returned %d" and its reason.
    bool handshake(int deadlineMs);

    // Sends the close notification (retried while the library asks).
    void closeNotify();

private:
    static int receive(void* context, unsigned char* buffer, size_t length, uint32_t timeoutMs);

    // The TLS context goes before the socket it reads.
    vexa::mbed::Net net_;
    vexa::mbed::Ssl ssl_;
    bool setUp_ = false;
    bool handshaking_ = false;
    std::chrono::steady_clock::time_point handshakeDeadline_;
};
