#include "fault_client.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace vexa::test {

FaultTls::FaultTls(const std::string& caFile, int readTimeoutMs) {
    mbedtls_entropy_init(&entropy_);
    mbedtls_ctr_drbg_init(&drbg_);
    mbedtls_x509_crt_init(&ca_);
    mbedtls_ssl_config_init(&conf_);
    mbedtls_ssl_session_init(&session_);
    ok_ = mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_, nullptr, 0) == 0 &&
          mbedtls_x509_crt_parse_file(&ca_, caFile.c_str()) == 0 &&
          mbedtls_ssl_config_defaults(&conf_, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                      MBEDTLS_SSL_PRESET_DEFAULT) == 0;
    if (ok_) {
        mbedtls_ssl_conf_authmode(&conf_, MBEDTLS_SSL_VERIFY_REQUIRED);
        mbedtls_ssl_conf_ca_chain(&conf_, &ca_, nullptr);
        mbedtls_ssl_conf_rng(&conf_, mbedtls_ctr_drbg_random, &drbg_);
        mbedtls_ssl_conf_read_timeout(&conf_, static_cast<uint32_t>(readTimeoutMs));
    }
}

FaultTls::~FaultTls() {
    mbedtls_ssl_session_free(&session_);
    mbedtls_ssl_config_free(&conf_);
    mbedtls_x509_crt_free(&ca_);
    mbedtls_ctr_drbg_free(&drbg_);
    mbedtls_entropy_free(&entropy_);
}

FaultConnection::FaultConnection(FaultTls& tls) : tls_(tls) {
    mbedtls_net_init(&net_);
    mbedtls_ssl_init(&ssl_);
}

FaultConnection::~FaultConnection() {
    mbedtls_ssl_free(&ssl_);
    mbedtls_net_free(&net_);
}

bool FaultConnection::connectTcp(int port) {
    return mbedtls_net_connect(&net_, "127.0.0.1", std::to_string(port).c_str(),
                               MBEDTLS_NET_PROTO_TCP) == 0;
}

int FaultConnection::handshake() {
    int ret = mbedtls_ssl_setup(&ssl_, &tls_.conf_);
    if (ret == 0) {
        ret = mbedtls_ssl_set_hostname(&ssl_, "localhost");
    }
    if (ret != 0) {
        return ret;
    }
    if (tls_.haveSession_) {
        mbedtls_ssl_set_session(&ssl_, &tls_.session_);
    }
    mbedtls_ssl_set_bio(&ssl_, &net_, mbedtls_net_send, nullptr, mbedtls_net_recv_timeout);
    do {
        ret = mbedtls_ssl_handshake(&ssl_);
    } while (ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE);
    if (ret == 0) {
        mbedtls_ssl_session_free(&tls_.session_);
        mbedtls_ssl_session_init(&tls_.session_);
        tls_.haveSession_ = mbedtls_ssl_get_session(&ssl_, &tls_.session_) == 0;
    }
    return ret;
}

bool FaultConnection::sendRecord(const Octets& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const int ret = mbedtls_ssl_write(&ssl_, bytes.data() + sent, bytes.size() - sent);
        if (ret > 0) {
            sent += static_cast<size_t>(ret);
        } else if (ret != MBEDTLS_ERR_SSL_WANT_READ && ret != MBEDTLS_ERR_SSL_WANT_WRITE) {
            return false;
        }
    }
    return true;
}

bool FaultConnection::sendFrame(unsigned char flag, const Octets& payload) {
    const size_t n = payload.size();
    Octets frame = {static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
                    static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24), flag};
    frame.insert(frame.end(), payload.begin(), payload.end());
    return sendRecord(frame);
}

bool FaultConnection::sendRaw(const Octets& bytes) {
    return ::send(net_.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

Octets FaultConnection::readOnce(int* ret) {
    Octets out(8192);
    int r;
    do {
        r = mbedtls_ssl_read(&ssl_, out.data(), out.size());
    } while (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE);
    if (ret != nullptr) {
        *ret = r;
    }
    out.resize(r > 0 ? static_cast<size_t>(r) : 0);
    return out;
}

Octets FaultConnection::readExactly(size_t n) {
    Octets all;
    while (all.size() < n) {
        const Octets part = readOnce();
        if (part.empty()) {
            break;
        }
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

bool FaultConnection::serverClosed() {
    int ret = 0;
    const Octets extra = readOnce(&ret);
    return extra.empty() && ret != MBEDTLS_ERR_SSL_TIMEOUT;
}

void FaultConnection::closeNotify() {
    mbedtls_ssl_close_notify(&ssl_);
}

void FaultConnection::reset() {
    if (net_.fd >= 0) {
        const linger hard = {1, 0};
        setsockopt(net_.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    mbedtls_net_free(&net_);
}

}  // namespace vexa::test
