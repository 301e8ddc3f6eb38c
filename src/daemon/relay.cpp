#include "daemon/relay.h"

#include <mbedtls/error.h>

#include <cstdint>
#include <memory>

#include "daemon/console.h"
#include "daemon/device_claim.h"
#include "daemon/server.h"
#include "platform/platform.h"
#include "transport/port.h"

namespace {

constexpr int kDeviceTimeoutMs = 120000;
constexpr int kAcceptPollMs = 2;

// The accepted client's socket: shut down and closed on every way out.
class ClientSocket {
public:
    ClientSocket() { mbedtls_net_init(&net_); }
    ~ClientSocket() { mbedtls_net_free(&net_); }
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;
    mbedtls_net_context* get() { return &net_; }

private:
    mbedtls_net_context net_;
};

void ErrorWithText(const char* format, int code) {
    char text[100];
    mbedtls_strerror(code, text, sizeof text);
    ErrorLinef(format, code, text);
}

// The lines for a TLS read that gave no data.
void ReportReadFailure(int ret) {
    if (ret == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) {
        InfoLine("TLS read failed, connection closed by peer.");
    } else if (ret < 0) {
        ErrorWithText("TLS read failed %d : %s", ret);
    }
    // 0: the peer closed without notification; nothing to say.
}

bool IsReadRetry(int ret) {
    return ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE;
}

bool IsWriteRetry(int ret) {
    return IsReadRetry(ret) || ret == MBEDTLS_ERR_SSL_ASYNC_IN_PROGRESS ||
           ret == MBEDTLS_ERR_SSL_CRYPTO_IN_PROGRESS;
}

// Writes one answer. A failure abandons the rest of it silently: a broken
// connection then ends at the next read. An empty answer is still one
// write of zero bytes.
void WriteAnswer(mbedtls_ssl_context& ssl, const unsigned char* answer, int length) {
    const size_t total = static_cast<size_t>(length);
    size_t written = 0;
    do {
        int ret = mbedtls_ssl_write(&ssl, answer + written, total - written);
        if (ret > 0) {
            written += static_cast<size_t>(ret);
        } else if (!IsWriteRetry(ret)) {
            return;
        }
    } while (written < total);
}

}  // namespace

bool ReadHeader(ServerContext& ctx, unsigned char* header, int* count) {
    if (*count == 0) {
        return true;
    }
    int ret;
    do {
        ret = mbedtls_ssl_read(&ctx.ssl, header, static_cast<size_t>(*count));
    } while (IsReadRetry(ret));
    if (ret > 0) {
        *count = ret;
        return true;
    }
    *count = 0;
    ReportReadFailure(ret);
    return false;
}

bool ReadPacket(ServerContext& ctx, unsigned char* buffer, int* length, unsigned char* flag) {
    // 1.-2. The header, in one read.
    unsigned char header[kFrameHeaderSize];
    int got = kFrameHeaderSize;
    if (!ReadHeader(ctx, header, &got)) {
        return false;
    }
    if (got < kFrameHeaderSize) {
        ErrorLine("short len read");
        return false;
    }
    // 3.-4. Length and flag; a length beyond the buffer is refused unread.
    const uint32_t payload =
        static_cast<uint32_t>(header[0]) | (static_cast<uint32_t>(header[1]) << 8) |
        (static_cast<uint32_t>(header[2]) << 16) | (static_cast<uint32_t>(header[3]) << 24);
    const uint32_t capacity = *length > 0 ? static_cast<uint32_t>(*length) : 0;
    if (payload > capacity) {
        ErrorLinef("packet len too big %u", payload);
        return false;
    }
    // 5. The payload, over as many records as the client used.
    uint32_t received = 0;
    while (received < payload) {
        int ret = mbedtls_ssl_read(&ctx.ssl, buffer + received, payload - received);
        if (ret > 0) {
            received += static_cast<uint32_t>(ret);
        } else if (!IsReadRetry(ret)) {
            ReportReadFailure(ret);
            return false;
        }
    }
    // 6. A whole frame; a length of 0 has no payload.
    *length = static_cast<int>(payload);
    *flag = header[4];
    return true;
}

bool ServeOneClient(ServerContext& ctx, const std::string& serial) {
    // 1. A closed client socket, a fresh TLS context, a non-blocking listener.
    ClientSocket client;
    bool stopNoted = false;
    mbedtls_ssl_session_reset(&ctx.ssl);
    mbedtls_net_set_nonblock(&ctx.listener);

    // 2. Poll for a client; the stop flag is looked at only here.
    int ret;
    for (;;) {
        vexa::platform::sleepMilliseconds(kAcceptPollMs);
        ret = mbedtls_net_accept(&ctx.listener, client.get(), nullptr, 0, nullptr);
        if (StopRequested.load()) {
            stopNoted = true;
            break;
        }
        if (ret != MBEDTLS_ERR_SSL_WANT_READ) {
            break;
        }
    }

    // 3. No client.
    if (ret != 0) {
        if (!StopRequested.load()) {
            ErrorLinef("accept returned %d\n", ret);
            ErrorWithText("Last error was: %d - %s\n", ret);
        }
        return stopNoted;
    }

    // 4. A client, even when the stop was noted on this pass. Every read of
    //    the connection waits at most the configured read time-out.
    mbedtls_net_set_block(client.get());
    mbedtls_ssl_set_bio(&ctx.ssl, client.get(), mbedtls_net_send, nullptr,
                        mbedtls_net_recv_timeout);

    // 5. Handshake.
    do {
        ret = mbedtls_ssl_handshake(&ctx.ssl);
    } while (IsReadRetry(ret));
    if (ret != 0) {
        ErrorLinef("ssl handshake returned %d", ret);
        if (!StopRequested.load()) {
            ErrorWithText("Last error was: %d - %s\n", ret);
        }
        return stopNoted;
    }

    // 6. The device, held for this client alone and clean; cleared and
    // released again whichever way the client leaves.
    std::unique_ptr<DeviceClaim> claim =
        DeviceClaim::claim(kVexaVendorId, kVexaProductId, serial, kDeviceTimeoutMs);
    if (!claim) {
        ErrorLine("Could not open device on USB transport.");
        return stopNoted;
    }
    talvoranth::CTransport* device = claim->transport();

    // 7. Relay: one request, one answer, in the same buffer.
    unsigned char buffer[kRelayCapacity];
    int length = kRelayCapacity;
    unsigned char flag = 0;
    while (ReadPacket(ctx, buffer, &length, &flag)) {
        if (flag == 0) {
            if (!port_write(device, buffer, length)) {
                ErrorLine("Failed to send USB cmd.");
                break;
            }
            length = kRelayCapacity;
            port_read(device, buffer, &length);
            // A failed read leaves 0: the client gets an empty answer. A
            // length outside the buffer would be a broken transport; it is
            // answered the same way rather than read past the buffer.
            if (length < 0 || length > kRelayCapacity) {
                length = 0;
            }
        }
        WriteAnswer(ctx.ssl, buffer, length);
        length = kRelayCapacity;
    }

    // 8. Close the TLS connection; the device is cleared and released as
    // `claim` goes.
    do {
        ret = mbedtls_ssl_close_notify(&ctx.ssl);
    } while (IsReadRetry(ret));
    return stopNoted;
}
