// An in-memory connection for TLS tests: two mbedTLS contexts exchange
// their records through byte queues instead of a socket, so that a test
// decides exactly where record boundaries fall and how the stream ends.
#pragma once

#include <mbedtls/ssl.h>

#include <algorithm>
#include <deque>

namespace vexa::test {

// One direction of the connection. Empty and open: the reader must wait;
// empty and closed: end of stream; an injected error is returned once the
// bytes are gone.
struct TlsPipe {
    std::deque<unsigned char> bytes;
    bool closed = false;
    int error = 0;
};

// Both directions; each side's context is bound to its end with
// mbedtls_ssl_set_bio(&ssl, &end, TlsPipeConnection::send,
// TlsPipeConnection::receive, nullptr).
struct TlsPipeConnection {
    struct End {
        TlsPipe* in;
        TlsPipe* out;
    };

    TlsPipe toServer;
    TlsPipe toClient;
    End serverEnd{&toServer, &toClient};
    End clientEnd{&toClient, &toServer};

    TlsPipeConnection() = default;
    TlsPipeConnection(const TlsPipeConnection&) = delete;  // the ends point into it
    TlsPipeConnection& operator=(const TlsPipeConnection&) = delete;

    void bind(mbedtls_ssl_context& client, mbedtls_ssl_context& server) {
        mbedtls_ssl_set_bio(&client, &clientEnd, send, receive, nullptr);
        mbedtls_ssl_set_bio(&server, &serverEnd, send, receive, nullptr);
    }

    static int send(void* ctx, const unsigned char* buf, size_t len) {
        TlsPipe& out = *static_cast<End*>(ctx)->out;
        out.bytes.insert(out.bytes.end(), buf, buf + len);
        return static_cast<int>(len);
    }

    static int receive(void* ctx, unsigned char* buf, size_t len) {
        TlsPipe& in = *static_cast<End*>(ctx)->in;
        if (in.bytes.empty()) {
            if (in.error != 0) {
                return in.error;
            }
            return in.closed ? 0 : MBEDTLS_ERR_SSL_WANT_READ;
        }
        const size_t n = std::min(len, in.bytes.size());
        std::copy_n(in.bytes.begin(), n, buf);
        in.bytes.erase(in.bytes.begin(), in.bytes.begin() + static_cast<long>(n));
        return static_cast<int>(n);
    }
};

// Steps both handshakes in turn until neither waits. 0 when both
// completed; otherwise the first error (*clientResult and *serverResult
// hold each side's last result).
inline int HandshakeInMemory(mbedtls_ssl_context& client, mbedtls_ssl_context& server,
                             int* clientResult = nullptr, int* serverResult = nullptr) {
    int cr = MBEDTLS_ERR_SSL_WANT_READ;
    int sr = MBEDTLS_ERR_SSL_WANT_READ;
    for (int i = 0; i < 100 && (cr != 0 || sr != 0); ++i) {
        if (cr != 0) {
            cr = mbedtls_ssl_handshake(&client);
        }
        if (sr != 0) {
            sr = mbedtls_ssl_handshake(&server);
        }
        if ((cr != 0 && cr != MBEDTLS_ERR_SSL_WANT_READ) ||
            (sr != 0 && sr != MBEDTLS_ERR_SSL_WANT_READ)) {
            break;
        }
    }
    if (clientResult != nullptr) {
        *clientResult = cr;
    }
    if (serverResult != nullptr) {
        *serverResult = sr;
    }
    return cr != 0 ? cr : sr;
}

}  // namespace vexa::test
