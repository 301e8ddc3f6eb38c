#include "transport/tcp_transport.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace talvoranth {

namespace {

// Accepted for the daemon's certificate chain: SHA-1 as well as the SHA-2
// family (the library's default profile refuses SHA-1), any public-key
// algorithm, any curve, RSA keys of at least 2048 bits.
const mbedtls_x509_crt_profile kCertificateProfile = {
    MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA1) | MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA224) |
        MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA256) | MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA384) |
        MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA512),
    0xFFFFFFF,  // any public-key algorithm
    0xFFFFFFF,  // any curve
    2048,
};

// Results after which a TLS read or write is simply tried again.
bool isRetry(int ret) {
    return ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE ||
           ret == MBEDTLS_ERR_SSL_ASYNC_IN_PROGRESS || ret == MBEDTLS_ERR_SSL_CRYPTO_IN_PROGRESS;
}

uint32_t readTimeoutValue(int milliseconds) {
    return milliseconds > 0 ? static_cast<uint32_t>(milliseconds) : 0;
}

}  // namespace

// Everything one TLS connection owns; all of it is released together.
struct TCPTransport::Connection {
    mbedtls_net_context net;
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config conf;
    mbedtls_x509_crt ca;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_entropy_context entropy;

    Connection() {
        mbedtls_net_init(&net);
        mbedtls_ssl_init(&ssl);
        mbedtls_ssl_config_init(&conf);
        mbedtls_x509_crt_init(&ca);
        mbedtls_ctr_drbg_init(&drbg);
        mbedtls_entropy_init(&entropy);
    }
    ~Connection() {
        mbedtls_ssl_free(&ssl);
        mbedtls_ssl_config_free(&conf);
        mbedtls_x509_crt_free(&ca);
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
        mbedtls_net_free(&net);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
};

TCPTransport::TCPTransport(const std::string& address, int port, const std::string& caBundlePath,
                           ILogTarget* log)
    : port_(port), address_(address), caBundlePath_(caBundlePath), log_(log) {}

TCPTransport::~TCPTransport() {
    close();
}

void TCPTransport::logf(int level, const char* format, ...) {
    if (log_ == nullptr) {
        return;
    }
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_->log(level, std::string(text));
}

std::unique_ptr<TCPTransport::Connection> TCPTransport::connect(int readTimeoutMs) {
    // 1. Create and initialise the connection objects.
    auto c = std::make_unique<Connection>();
    auto fail = [this](int code) -> std::unique_ptr<Connection> {
        char text[100];
        mbedtls_strerror(code, text, sizeof text);
        logf(LOG_ERROR, "Last error was: %d - %s", code, text);
        return nullptr;
    };

    // 2. Seed the random generator.
    static const char kPersonal[] = "vexa_client";
    int ret = mbedtls_ctr_drbg_seed(&c->drbg, mbedtls_entropy_func, &c->entropy,
                                    reinterpret_cast<const unsigned char*>(kPersonal),
                                    sizeof kPersonal - 1);
    if (ret != 0) {
        logf(LOG_ERROR, "drbg returned %d", ret);
        return fail(ret);
    }

    // 3. The trusted chain; a positive result (some certificates skipped)
    //    still leaves a usable chain.
    ret = mbedtls_x509_crt_parse_file(&c->ca, caBundlePath_.c_str());
    if (ret == MBEDTLS_ERR_PK_FILE_IO_ERROR) {
        logf(LOG_ERROR, "Failed to open ca cert file %s.", caBundlePath_.c_str());
        return fail(ret);
    }
    if (ret < 0) {
        logf(LOG_ERROR, "CA file parse returned -0x%x", static_cast<unsigned>(-ret));
        return fail(ret);
    }

    // 4.-5. The TCP connection.
    logf(LOG_INFO, "Connecting to %s:%d...", address_.c_str(), port_);
    char service[16];
    std::snprintf(service, sizeof service, "%d", port_);
    ret = mbedtls_net_connect(&c->net, address_.c_str(), service, MBEDTLS_NET_PROTO_TCP);
    if (ret != 0) {
        logf(LOG_ERROR, "connect returned %d", ret);
        return fail(ret);
    }
    // The TLS library opens its socket without the close-on-exec flag.
    if (!vexa::platform::closeOnExec(c->net.fd)) {
        logf(LOG_WARN, "could not mark the connection close-on-exec");
    }

    // 6.-7. Client configuration. Verification is optional inside the
    //       handshake and checked explicitly below.
    ret = mbedtls_ssl_config_defaults(&c->conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                      MBEDTLS_SSL_PRESET_DEFAULT);
    if (ret != 0) {
        logf(LOG_ERROR, "config defaults returned %d", ret);
        return fail(ret);
    }
    mbedtls_ssl_conf_read_timeout(&c->conf, readTimeoutValue(readTimeoutMs));
    mbedtls_ssl_conf_cert_profile(&c->conf, &kCertificateProfile);
    mbedtls_ssl_conf_authmode(&c->conf, MBEDTLS_SSL_VERIFY_OPTIONAL);
    mbedtls_ssl_conf_ca_chain(&c->conf, &c->ca, nullptr);
    mbedtls_ssl_conf_rng(&c->conf, mbedtls_ctr_drbg_random, &c->drbg);

    // 8.-10. The TLS context.
    ret = mbedtls_ssl_setup(&c->ssl, &c->conf);
    if (ret != 0) {
        logf(LOG_ERROR, "ssl setup returned %d", ret);
        return fail(ret);
    }
    ret = mbedtls_ssl_set_hostname(&c->ssl, address_.c_str());
    if (ret != 0) {
        logf(LOG_ERROR, "set_hostname returned %d", ret);
        return fail(ret);
    }
    mbedtls_ssl_set_bio(&c->ssl, &c->net, mbedtls_net_send, mbedtls_net_recv,
                        mbedtls_net_recv_timeout);

    // 11. Handshake.
    do {
        ret = mbedtls_ssl_handshake(&c->ssl);
    } while (ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE);
    if (ret != 0) {
        logf(LOG_ERROR, "ssl handshake returned -0x%x", static_cast<unsigned>(-ret));
        return fail(ret);
    }

    // 12. A certificate that does not verify fails the connection.
    uint32_t flags = mbedtls_ssl_get_verify_result(&c->ssl);
    if (flags != 0) {
        char info[512];
        int n = mbedtls_x509_crt_verify_info(info, sizeof info, "", flags);
        // The library ends every reason with a line feed; the log adds its own.
        while (n > 0 && info[n - 1] == '\n') {
            info[--n] = '\0';
        }
        logf(LOG_ERROR, "Certificate verification failed: %s", info);
        return nullptr;
    }
    return c;
}

void TCPTransport::open() {
    close();
    connection_ = connect(timeoutMs_);
    if (!connection_) {
        throw IOException("connection failed");
    }
}

bool TCPTransport::isOpen() {
    return connection_ != nullptr;
}

void TCPTransport::close() {
    if (!connection_) {
        return;
    }
    logf(LOG_TRACE, "closing tls connection.");
    mbedtls_ssl_close_notify(&connection_->ssl);
    connection_.reset();
}

void TCPTransport::setTimeout(int milliseconds) {
    timeoutMs_ = milliseconds;
    if (connection_) {
        mbedtls_ssl_conf_read_timeout(&connection_->conf, readTimeoutValue(milliseconds));
    }
}

int TCPTransport::getTimeout() {
    return timeoutMs_;
}

int TCPTransport::read(unsigned char* buffer, int capacity) {
    if (!connection_) {
        logf(LOG_ERROR, "tls port not open, read failed.");
        return 0;
    }
    if (capacity <= 0 || buffer == nullptr) {
        return 0;
    }
    int ret;
    do {
        ret = mbedtls_ssl_read(&connection_->ssl, buffer, static_cast<size_t>(capacity));
    } while (isRetry(ret));
    if (ret <= 0) {
        logf(LOG_ERROR, "tls read failed: %d", ret);
        close();
        return 0;
    }
    return ret;
}

void TCPTransport::discardUnreadAnswer() {
    size_t left = mbedtls_ssl_get_bytes_avail(&connection_->ssl);
    if (left == 0) {
        return;
    }
    logf(LOG_WARN, "discarding %zu unread bytes of an earlier answer", left);
    unsigned char sink[256];
    // Only bytes already decrypted are taken, so these reads never wait.
    while (left > 0) {
        int ret = mbedtls_ssl_read(&connection_->ssl, sink, std::min(left, sizeof sink));
        if (ret <= 0) {
            break;
        }
        left -= static_cast<size_t>(ret);
    }
}

int TCPTransport::write(const unsigned char* data, int length) {
    // 1. Refuse what does not fit one frame.
    if (length < 0 || length > kMaxPayload || (length > 0 && data == nullptr)) {
        return 0;
    }
    // 2. The frame: length (little-endian), flag 0x00, payload. It goes out
    //    in one TLS write so that the daemon reads the header from a single
    //    record.
    unsigned char frame[kMaxFrame];
    const uint32_t n = static_cast<uint32_t>(length);
    frame[0] = static_cast<unsigned char>(n & 0xFF);
    frame[1] = static_cast<unsigned char>((n >> 8) & 0xFF);
    frame[2] = static_cast<unsigned char>((n >> 16) & 0xFF);
    frame[3] = static_cast<unsigned char>((n >> 24) & 0xFF);
    frame[4] = 0x00;
    if (length > 0) {
        std::memcpy(frame + kHeaderSize, data, n);
    }
    const size_t total = kHeaderSize + n;

    // 3. A connection is needed.
    if (!connection_) {
        logf(LOG_ERROR, "tls port not open, write failed.");
        return 0;
    }
    discardUnreadAnswer();

    // 4. Send it all.
    size_t written = 0;
    while (written < total) {
        int ret = mbedtls_ssl_write(&connection_->ssl, frame + written, total - written);
        if (ret > 0) {
            written += static_cast<size_t>(ret);
        } else if (!isRetry(ret)) {
            logf(LOG_ERROR, "tls write failed: %d", ret);
            close();
            return 0;
        }
    }
    return length;
}

}  // namespace talvoranth
