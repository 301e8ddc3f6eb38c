#include "transport/tcp_transport.h"

#include <mbedtls/error.h>
#include <mbedtls/platform_util.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "common/mbed_owner.h"
#include "log/user_notice.h"
#include "platform/platform.h"
#include "platform/wake_event.h"
#include "transport/tls_policy.h"

namespace talvoranth {

namespace {

// Results after which a TLS read or write is simply tried again.
bool isRetry(int ret) {
    return ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE ||
           ret == MBEDTLS_ERR_SSL_ASYNC_IN_PROGRESS || ret == MBEDTLS_ERR_SSL_CRYPTO_IN_PROGRESS;
}

uint32_t readTimeoutValue(int milliseconds) {
    return milliseconds > 0 ? static_cast<uint32_t>(milliseconds) : 0;
}

// The TCP connect waits as long as a read would, and never without limit.
int connectTimeout(int readTimeoutMs) {
    return readTimeoutMs > 0 ? readTimeoutMs : TCPTransport::kDefaultTimeoutMs;
}

}  // namespace

// Everything one TLS connection owns; all of it is released together, each
// context before what it refers to (the reverse of the order below).
struct TCPTransport::Connection {
    vexa::mbed::Net net;
    vexa::mbed::Entropy entropy;
    vexa::mbed::CtrDrbg drbg;
    vexa::mbed::X509Crt ca;
    vexa::mbed::X509Crt clientCert;
    vexa::mbed::Pk clientKey;
    vexa::mbed::SslConfig conf;
    vexa::mbed::Ssl ssl;
};

// A TLS session kept from one connection for the next (session id or
// ticket, master secret, the daemon's verified certificate).
struct TCPTransport::SavedSession {
    vexa::mbed::SslSession session;
};

TCPTransport::TCPTransport(const std::string& address, int port, const std::string& caBundlePath,
                           ILogTarget* log)
    : port_(port), address_(address), caBundlePath_(caBundlePath), log_(log) {}

TCPTransport::~TCPTransport() {
    close();
}

void TCPTransport::setClientCertificate(const std::string& certFile, const std::string& keyFile) {
    clientCertFile_ = certFile;
    clientKeyFile_ = keyFile;
}

bool TCPTransport::loadClientCertificate(Connection& c) {
    int ret = mbedtls_x509_crt_parse_file(&c.clientCert, clientCertFile_.c_str());
    if (ret != 0) {
        noticeUser(log_, "Failed to load client certificate " + clientCertFile_ + ": " +
                             std::to_string(ret));
        return false;
    }
    const vexa::platform::FileAccess access = vexa::platform::fileAccess(clientKeyFile_);
    if (access.exists && access.readableByOthers) {
        logf(LOG_WARN,
             "client key %s can be read by other users; make it readable by its "
             "owner only (chmod 600)",
             clientKeyFile_.c_str());
    }
    ret = vexa::tls::parseKeyFile(&c.clientKey, clientKeyFile_,
                                  vexa::platform::environment(kClientKeyPasswordVariable));
    if (ret == 0) {
        ret = mbedtls_pk_check_pair(&c.clientCert.pk, &c.clientKey);
    }
    if (ret == 0) {
        ret = mbedtls_ssl_conf_own_cert(&c.conf, &c.clientCert, &c.clientKey);
    }
    if (ret != 0) {
        char text[100];
        mbedtls_strerror(ret, text, sizeof text);
        noticeUser(log_, "Failed to load client key " + clientKeyFile_ + " for " + clientCertFile_ +
                             ": " + text);
        return false;
    }
    return true;
}

std::string TCPTransport::sessionFile() const {
    const std::string dir = vexa::platform::userRuntimeDirectory("vexa-pkcs11");
    if (dir.empty()) {
        return {};
    }
    // One file per daemon and identity: a session is never offered to
    // another daemon, nor resumed under another trust anchor or certificate.
    const std::string key =
        address_ + '\n' + std::to_string(port_) + '\n' + caBundlePath_ + '\n' + clientCertFile_;
    char name[40];
    std::snprintf(name, sizeof name, "session-%016zx", std::hash<std::string>{}(key));
    return dir + name;
}

void TCPTransport::loadSessionFile() {
    const std::string path = sessionFile();
    if (path.empty()) {
        return;
    }
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) {
        return;
    }
    auto saved = std::make_unique<SavedSession>();
    if (mbedtls_ssl_session_load(&saved->session,
                                 reinterpret_cast<const unsigned char*>(bytes.data()),
                                 bytes.size()) == 0) {
        savedSession_ = std::move(saved);
    }
}

void TCPTransport::storeSessionFile() {
    const std::string path = sessionFile();
    if (path.empty() || !savedSession_) {
        return;
    }
    size_t length = 0;
    mbedtls_ssl_session_save(&savedSession_->session, nullptr, 0, &length);
    std::string bytes(length, '\0');
    if (length > 0 && mbedtls_ssl_session_save(&savedSession_->session,
                                               reinterpret_cast<unsigned char*>(bytes.data()),
                                               bytes.size(), &length) == 0) {
        vexa::platform::writePrivateFile(path, bytes);
    }
    mbedtls_platform_zeroize(bytes.data(), bytes.size());
}

void TCPTransport::forgetSession() {
    savedSession_.reset();
    const std::string path = sessionFile();
    if (!path.empty()) {
        std::remove(path.c_str());
    }
}

std::string TCPTransport::verificationFailure(Connection& c) {
    std::string reason;
    uint32_t flags = mbedtls_ssl_get_verify_result(&c.ssl);
    if (flags != 0) {
        char info[512];
        int n = mbedtls_x509_crt_verify_info(info, sizeof info, "", flags);
        // The library ends every reason with a line feed; lines are joined.
        for (int i = 0; i < n; ++i) {
            if (info[i] == '\n') {
                info[i] = i + 1 < n ? ';' : '\0';
            }
        }
        reason = info;
    }
    // An address is checked here: the library compares host names only.
    if (vexa::tls::isIpAddress(address_)) {
        const mbedtls_x509_crt* peer = mbedtls_ssl_get_peer_cert(&c.ssl);
        if (peer == nullptr || !vexa::tls::certificateNamesIpAddress(*peer, address_)) {
            reason += std::string(reason.empty() ? "" : "; ") +
                      "the certificate does not list the IP address " + address_ +
                      " among its subject alternative names";
        }
    }
    return reason;
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
    // A daemon that accepts no connection (a full backlog, a host that does
    // not answer) costs at most the time-out, not the system's minutes.
    std::string connectError;
    c->net.fd =
        vexa::platform::connectTcp(address_, port_, connectTimeout(readTimeoutMs), &connectError);
    if (c->net.fd < 0) {
        ret = MBEDTLS_ERR_NET_CONNECT_FAILED;
        logf(LOG_ERROR, "connect returned %d", ret);
        logf(LOG_ERROR, "connect to %s:%s failed: %s", address_.c_str(), service,
             connectError.c_str());
        return fail(ret);
    }
    // Each request goes out as soon as it is written.
    vexa::platform::setTcpNoDelay(c->net.fd);

    // 6.-7. Client configuration: TLS 1.2 or later, forward-secret AEAD
    //       suites, SHA-2 certificates. Verification is optional inside the
    //       handshake and checked explicitly below.
    ret = mbedtls_ssl_config_defaults(&c->conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                      MBEDTLS_SSL_PRESET_DEFAULT);
    if (ret != 0) {
        logf(LOG_ERROR, "config defaults returned %d", ret);
        return fail(ret);
    }
    vexa::tls::applyPolicy(&c->conf);
    mbedtls_ssl_conf_read_timeout(&c->conf, readTimeoutValue(readTimeoutMs));
    mbedtls_ssl_conf_authmode(&c->conf, MBEDTLS_SSL_VERIFY_OPTIONAL);
    mbedtls_ssl_conf_ca_chain(&c->conf, &c->ca, nullptr);
    mbedtls_ssl_conf_rng(&c->conf, mbedtls_ctr_drbg_random, &c->drbg);
    if (!clientCertFile_.empty() && !loadClientCertificate(*c)) {
        return nullptr;
    }

    // 8.-10. The TLS context.
    ret = mbedtls_ssl_setup(&c->ssl, &c->conf);
    if (ret != 0) {
        logf(LOG_ERROR, "ssl setup returned %d", ret);
        return fail(ret);
    }
    // A host name is checked by the library and sent as the server name; an
    // IP address is neither (it is checked after the handshake).
    if (!vexa::tls::isIpAddress(address_)) {
        ret = mbedtls_ssl_set_hostname(&c->ssl, address_.c_str());
        if (ret != 0) {
            logf(LOG_ERROR, "set_hostname returned %d", ret);
            return fail(ret);
        }
    }
    mbedtls_ssl_set_bio(&c->ssl, &c->net, vexa::tls::sendWithoutSignal, mbedtls_net_recv,
                        mbedtls_net_recv_timeout);
    // Offer the last session: a resumed handshake skips the key exchange and
    // the certificate checks' cost. A daemon that forgot it starts afresh.
    if (!savedSession_) {
        loadSessionFile();
    }
    if (savedSession_) {
        mbedtls_ssl_set_session(&c->ssl, &savedSession_->session);
    }

    // 11. Handshake.
    do {
        ret = mbedtls_ssl_handshake(&c->ssl);
    } while (ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE);
    if (ret != 0) {
        logf(LOG_ERROR, "ssl handshake returned -0x%x", static_cast<unsigned>(-ret));
        // The daemon may refuse this client (no certificate, one it does not
        // trust, an old protocol): the user must learn it.
        char text[100];
        mbedtls_strerror(ret, text, sizeof text);
        noticeUser(nullptr, "TLS handshake with vexa-daemon " + address_ + ":" + service +
                                " failed: " + text);
        savedSession_.reset();
        return fail(ret);
    }

    // 12. A certificate that does not verify fails the connection, and the
    //     user is told why even with the log off.
    const std::string reason = verificationFailure(*c);
    if (!reason.empty()) {
        logf(LOG_ERROR, "Certificate verification failed: %s", reason.c_str());
        noticeUser(nullptr, "the certificate of vexa-daemon " + address_ + ":" + service +
                                " is not accepted: " + reason);
        forgetSession();
        return nullptr;
    }
    // 13. Keep the session for the next connection.
    auto saved = std::make_unique<SavedSession>();
    if (mbedtls_ssl_get_session(&c->ssl, &saved->session) == 0) {
        savedSession_ = std::move(saved);
        storeSessionFile();
    }
    return c;
}

void TCPTransport::open() {
    close();
    connection_ = connect(timeoutMs_);
    if (!connection_) {
        throw IOException("connection failed");
    }
    ++connections_;
}

bool TCPTransport::isOpen() {
    if (connection_ && closedWhileIdle()) {
        logf(LOG_INFO, "the daemon closed the idle connection; reconnecting");
        close();
    }
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
        if (ret == MBEDTLS_ERR_SSL_TIMEOUT) {
            // The call fails; its user learns why rather than seeing only an
            // absent token.
            noticeUser(nullptr, "vexa-daemon " + address_ + ":" + std::to_string(port_) +
                                    " did not answer within " + std::to_string(timeoutMs_) +
                                    " ms: another application may hold the device, or the "
                                    "device does not answer");
        }
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

bool TCPTransport::closedWhileIdle() {
    if (mbedtls_ssl_get_bytes_avail(&connection_->ssl) > 0) {
        return false;
    }
    const int descriptor = connection_->net.fd;
    return vexa::platform::waitForInput(&descriptor, 1, 0) != 0;
}

int TCPTransport::write(const unsigned char* data, int length) {
    // 1. Refuse what does not fit one frame.
    if (length < 0 || length > kMaxPayload || (length > 0 && data == nullptr)) {
        return 0;
    }
    // 2. The frame: header (flag 0x00: for the device), payload. It goes out
    //    in one TLS write so that the daemon reads the header from a single
    //    record.
    unsigned char frame[kMaxFrame];
    const uint32_t n = static_cast<uint32_t>(length);
    vexa::tls::putFrameHeader(frame, {n, vexa::tls::kFlagToDevice});
    if (length > 0) {
        std::memcpy(frame + vexa::tls::kFrameHeaderSize, data, n);
    }
    const size_t total = vexa::tls::kFrameHeaderSize + n;

    // 3. A connection is needed.
    if (!connection_) {
        logf(LOG_ERROR, "tls port not open, write failed.");
        return 0;
    }
    discardUnreadAnswer();
    // The daemon ended the connection since isOpen() looked: the request is
    // not sent on a new one here, since the caller has bound it to what this
    // connection held (its sessions). The call fails; the next one
    // reconnects through open().
    if (closedWhileIdle()) {
        logf(LOG_ERROR, "tls write failed: the daemon closed the connection");
        close();
        return 0;
    }

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
