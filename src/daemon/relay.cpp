#include "daemon/relay.h"

#include <mbedtls/error.h>

#include <chrono>
#include <cstdint>

#include "daemon/client_connection.h"
#include "daemon/console.h"
#include "daemon/device_turns.h"
#include "daemon/server.h"
#include "daemon/device_claim.h"
#include "platform/platform.h"
#include "platform/wake_event.h"
#include "transport/port.h"

namespace {

using Clock = std::chrono::steady_clock;

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

bool ReadHeader(mbedtls_ssl_context& ssl, unsigned char* header, int* count) {
    if (*count == 0) {
        return true;
    }
    int ret;
    do {
        ret = mbedtls_ssl_read(&ssl, header, static_cast<size_t>(*count));
    } while (IsReadRetry(ret));
    if (ret > 0) {
        *count = ret;
        return true;
    }
    *count = 0;
    ReportReadFailure(ret);
    return false;
}

bool ReadPacket(mbedtls_ssl_context& ssl, unsigned char* buffer, int* length, unsigned char* flag) {
    // 1.-2. The header, in one read.
    unsigned char header[kFrameHeaderSize];
    int got = kFrameHeaderSize;
    if (!ReadHeader(ssl, header, &got)) {
        return false;
    }
    if (got < kFrameHeaderSize) {
        ErrorLine("short len read");
        return false;
    }
    // 3.-4. Length and flag; a length beyond the buffer is refused unread.
    const vexa::tls::FrameHeader frame = vexa::tls::readFrameHeader(header);
    const uint32_t payload = frame.payloadLength;
    const uint32_t capacity = *length > 0 ? static_cast<uint32_t>(*length) : 0;
    if (payload > capacity) {
        ErrorLinef("packet len too big %u", payload);
        return false;
    }
    // 5. The payload, over as many records as the client used.
    uint32_t received = 0;
    while (received < payload) {
        int ret = mbedtls_ssl_read(&ssl, buffer + received, payload - received);
        if (ret > 0) {
            received += static_cast<uint32_t>(ret);
        } else if (!IsReadRetry(ret)) {
            ReportReadFailure(ret);
            return false;
        }
    }
    // 6. A whole frame; a length of 0 has no payload.
    *length = static_cast<int>(payload);
    *flag = frame.flag;
    return true;
}

namespace {

enum class NextStep { Request, Silent, HandOver };

// Waits between requests until the client sends, without holding the device
// longer than needed: a client idle for the grace time while another waits
// is ended, so is one silent for the silent limit. A stop request does not
// end the wait: the connection in progress is served to its end.
NextStep AwaitRequest(ClientConnection& client, DeviceTurns& turns, const RelayLimits& limits) {
    // Bytes of a record already decrypted need no wait.
    if (mbedtls_ssl_get_bytes_avail(&client.ssl()) > 0) {
        return NextStep::Request;
    }
    const Clock::time_point idleSince = Clock::now();
    for (;;) {
        const bool othersWait = turns.othersWaiting();
        const int limitMs = othersWait ? limits.handOverGraceMs : limits.silentMs;
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - idleSince).count();
        if (waited >= limitMs) {
            return othersWait ? NextStep::HandOver : NextStep::Silent;
        }
        // While others wait their event stays set, so it is left out then.
        const int descriptors[2] = {client.descriptor(), turns.waiterDescriptor()};
        const unsigned ready = vexa::platform::waitForInput(descriptors, othersWait ? 1 : 2,
                                                            static_cast<int>(limitMs - waited));
        if ((ready & 1u) != 0) {
            return NextStep::Request;
        }
    }
}

// While the device works on a request, the client that sent it is
// watched: one that leaves (its module gave up after its own time-out, the
// application ended) no longer waits for the answer, and neither does the
// daemon. The device is then recovered as after a time-out and the next
// client served; kDeviceTimeoutMs bounds the wait in any case.
class ClientWatch {
public:
    ClientWatch(talvoranth::CTransport& link, const ClientConnection& client) : link_(link) {
        const int descriptor = client.descriptor();
        link_.setAnswerWatch([descriptor] { return !vexa::platform::peerHasClosed(descriptor); });
    }
    ~ClientWatch() { link_.setAnswerWatch({}); }
    ClientWatch(const ClientWatch&) = delete;
    ClientWatch& operator=(const ClientWatch&) = delete;

private:
    talvoranth::CTransport& link_;
};

// One request to the device and its answer, in the same buffer. A device
// kept open from an earlier client that no longer takes the request (it was
// unplugged, the simulator restarted) is opened once more. False when the
// request could not be sent.
bool ExchangeWithDevice(const ClientConnection& client, DeviceClaim& device,
                        talvoranth::CTransport*& link, bool reused, unsigned char* buffer,
                        int* length) {
    if (!port_write(link, buffer, *length)) {
        device.discard();
        link = reused ? device.claim(&reused) : nullptr;
        if (link == nullptr || !port_write(link, buffer, *length)) {
            device.discard();
            link = nullptr;
            return false;
        }
    }
    *length = kRelayCapacity;
    {
        ClientWatch watch(*link, client);
        port_read(link, buffer, length);
    }
    // A failed read leaves 0: the client gets an empty answer, and the device
    // is closed so that its late answer is never taken for the next request.
    // A length outside the buffer would be a broken transport; it is answered
    // the same way rather than read past the buffer.
    if (*length <= 0 || *length > kRelayCapacity) {
        if (vexa::platform::peerHasClosed(client.descriptor())) {
            InfoLine("Client left before the device answered: the exchange is abandoned.");
        }
        *length = 0;
        device.discard();
        link = nullptr;
    }
    return true;
}

}  // namespace

void RelayClient(ClientConnection& client, DeviceClaim& device, DeviceTurns& turns,
                 const RelayLimits& limits) {
    bool reused = false;
    talvoranth::CTransport* link = device.claim(&reused);
    if (link == nullptr) {
        ErrorLine("Could not open device on USB transport.");
        return;
    }
    unsigned char buffer[kRelayCapacity];
    for (;;) {
        const NextStep next = AwaitRequest(client, turns, limits);
        if (next == NextStep::Silent) {
            ReportReadFailure(MBEDTLS_ERR_SSL_TIMEOUT);
            break;
        }
        if (next == NextStep::HandOver) {
            InfoLine("Client idle while another waits for the device: connection ended.");
            break;
        }
        int length = kRelayCapacity;
        unsigned char flag = 0;
        if (!ReadPacket(client.ssl(), buffer, &length, &flag)) {
            break;
        }
        if (flag == 0) {
            if (link == nullptr) {
                link = device.claim(&reused);
            }
            if (link == nullptr ||
                !ExchangeWithDevice(client, device, link, reused, buffer, &length)) {
                ErrorLine("Failed to send USB cmd.");
                break;
            }
            reused = true;
        }
        WriteAnswer(client.ssl(), buffer, length);
    }
    client.closeNotify();
}
