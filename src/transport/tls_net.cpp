#include "transport/tls_net.h"

#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>

#include <climits>

#include "platform/socket.h"

namespace talvoranth {

int TlsNetSend(void* ctx, const unsigned char* buffer, size_t length) {
    int fd = static_cast<mbedtls_net_context*>(ctx)->fd;
    if (fd < 0) {
        return MBEDTLS_ERR_NET_INVALID_CONTEXT;
    }
    // The result must fit the int that mbedTLS expects.
    if (length > INT_MAX) {
        length = INT_MAX;
    }
    vexa::platform::SendError error = vexa::platform::SendError::None;
    long sent = vexa::platform::sendNoSignal(fd, buffer, length, &error);
    if (sent >= 0) {
        return static_cast<int>(sent);
    }
    switch (error) {
        case vexa::platform::SendError::WouldBlock:
        case vexa::platform::SendError::Interrupted:
            return MBEDTLS_ERR_SSL_WANT_WRITE;
        case vexa::platform::SendError::ConnectionReset:
            return MBEDTLS_ERR_NET_CONN_RESET;
        default:
            return MBEDTLS_ERR_NET_SEND_FAILED;
    }
}

}  // namespace talvoranth
