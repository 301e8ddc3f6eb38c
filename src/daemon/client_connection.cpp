#include "daemon/client_connection.h"

#include <mbedtls/error.h>

#include <algorithm>

#include "daemon/console.h"
#include "daemon/server.h"
#include "platform/platform.h"
#include "platform/wake_event.h"
#include "transport/tls_policy.h"

ClientConnection::ClientConnection(const mbedtls_ssl_config& conf)
    : setUp_(mbedtls_ssl_setup(&ssl_, &conf) == 0) {}

int ClientConnection::receive(void* context, unsigned char* buffer, size_t length,
                              uint32_t timeoutMs) {
    auto* self = static_cast<ClientConnection*>(context);
    int waitMs = timeoutMs == 0 ? -1 : static_cast<int>(timeoutMs);
    if (self->handshaking_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              self->handshakeDeadline_ - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return MBEDTLS_ERR_SSL_TIMEOUT;
        }
        waitMs = waitMs < 0 ? static_cast<int>(left) : std::min(waitMs, static_cast<int>(left));
    }
    // A stop ends a handshake at once; a connection past it is served on.
    const int descriptors[2] = {self->net_.fd, StopRequested.descriptor()};
    const unsigned ready =
        vexa::platform::waitForInput(descriptors, self->handshaking_ ? 2 : 1, waitMs);
    if ((ready & 1u) == 0) {
        return MBEDTLS_ERR_SSL_TIMEOUT;
    }
    return mbedtls_net_recv(&self->net_, buffer, length);
}

bool ClientConnection::handshake(int deadlineMs) {
    mbedtls_net_set_block(&net_);
    // Answers and handshake records go out at once, not held for a full segment.
    vexa::platform::setTcpNoDelay(net_.fd);
    vexa::platform::closeOnExec(net_.fd);
    mbedtls_ssl_set_bio(&ssl_, &net_, vexa::tls::sendWithoutSignal, nullptr,
                        &ClientConnection::receive);
    handshaking_ = true;
    handshakeDeadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    int ret = setUp_ ? 0 : MBEDTLS_ERR_SSL_ALLOC_FAILED;
    while (ret == 0 || ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE) {
        ret = mbedtls_ssl_handshake(&ssl_);
        if (ret == 0) {
            break;
        }
    }
    handshaking_ = false;
    if (ret != 0) {
        ErrorLinef("ssl handshake returned %d", ret);
        if (!StopRequested.load()) {
            char text[100];
            mbedtls_strerror(ret, text, sizeof text);
            ErrorLinef("Last error was: %d - %s\n", ret, text);
        }
        return false;
    }
    return true;
}

void ClientConnection::closeNotify() {
    int ret;
    do {
        ret = mbedtls_ssl_close_notify(&ssl_);
    } while (ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE);
}
