#include "integration/tls/tls_test_client.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <string>

namespace vexa::test {

struct TlsTestClient::State {
    mbedtls_net_context net;
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config conf;
    mbedtls_x509_crt ca;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_entropy_context entropy;
    State() {
        mbedtls_net_init(&net);
        mbedtls_ssl_init(&ssl);
        mbedtls_ssl_config_init(&conf);
        mbedtls_x509_crt_init(&ca);
        mbedtls_ctr_drbg_init(&drbg);
        mbedtls_entropy_init(&entropy);
    }
    ~State() {
        mbedtls_ssl_free(&ssl);
        mbedtls_ssl_config_free(&conf);
        mbedtls_x509_crt_free(&ca);
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
        mbedtls_net_free(&net);
    }
};

TlsTestClient::TlsTestClient() : state_(std::make_unique<State>()) {}
TlsTestClient::~TlsTestClient() = default;

int TlsTestClient::connect(int port, const std::string& caFile, int readTimeoutMs) {
    // A server that is still starting refuses the connection: try again
    // until it listens.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int ret;
    for (;;) {
        state_ = std::make_unique<State>();
        ret = mbedtls_net_connect(&state_->net, "127.0.0.1", std::to_string(port).c_str(),
                                  MBEDTLS_NET_PROTO_TCP);
        if (ret != MBEDTLS_ERR_NET_CONNECT_FAILED || std::chrono::steady_clock::now() > deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    State& s = *state_;
    if (ret == 0) {
        ret = mbedtls_ctr_drbg_seed(&s.drbg, mbedtls_entropy_func, &s.entropy, nullptr, 0);
    }
    if (ret == 0) {
        ret = mbedtls_x509_crt_parse_file(&s.ca, caFile.c_str());
    }
    if (ret == 0) {
        ret = mbedtls_ssl_config_defaults(&s.conf, MBEDTLS_SSL_IS_CLIENT,
                                          MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT);
    }
    if (ret != 0) {
        return ret;
    }
    mbedtls_ssl_conf_authmode(&s.conf, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(&s.conf, &s.ca, nullptr);
    mbedtls_ssl_conf_rng(&s.conf, mbedtls_ctr_drbg_random, &s.drbg);
    mbedtls_ssl_conf_read_timeout(&s.conf, static_cast<uint32_t>(readTimeoutMs));
    ret = mbedtls_ssl_setup(&s.ssl, &s.conf);
    if (ret == 0) {
        ret = mbedtls_ssl_set_hostname(&s.ssl, "localhost");
    }
    if (ret != 0) {
        return ret;
    }
    mbedtls_ssl_set_bio(&s.ssl, &s.net, mbedtls_net_send, nullptr, mbedtls_net_recv_timeout);
    do {
        ret = mbedtls_ssl_handshake(&s.ssl);
    } while (ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE);
    return ret;
}

int TlsTestClient::send(const std::vector<unsigned char>& bytes) {
    int ret;
    do {
        ret = mbedtls_ssl_write(&state_->ssl, bytes.data(), bytes.size());
    } while (ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE);
    return ret < 0 ? ret : 0;
}

int TlsTestClient::sendFrame(unsigned char flag, const std::vector<unsigned char>& payload) {
    return send(Frame(flag, payload));
}

int TlsTestClient::readOnce(std::vector<unsigned char>* out, size_t capacity) {
    std::vector<unsigned char> buffer(capacity);
    int ret;
    do {
        ret = mbedtls_ssl_read(&state_->ssl, buffer.data(), buffer.size());
    } while (ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE);
    if (ret > 0 && out != nullptr) {
        out->insert(out->end(), buffer.begin(), buffer.begin() + ret);
    }
    return ret;
}

std::vector<unsigned char> TlsTestClient::receive(size_t n) {
    std::vector<unsigned char> got;
    while (got.size() < n) {
        if (readOnce(&got, n - got.size()) <= 0) {
            break;
        }
    }
    return got;
}

bool TlsTestClient::serverClosed() {
    int ret = readOnce(nullptr);
    return ret == 0 || ret == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY ||
           ret == MBEDTLS_ERR_NET_CONN_RESET;
}

bool TlsTestClient::waitReadable(int timeoutMs) {
    return mbedtls_ssl_get_bytes_avail(&state_->ssl) > 0 ||
           mbedtls_net_poll(&state_->net, MBEDTLS_NET_POLL_READ,
                            static_cast<uint32_t>(timeoutMs)) == MBEDTLS_NET_POLL_READ;
}

void TlsTestClient::closeNotify() {
    mbedtls_ssl_close_notify(&state_->ssl);
}

void TlsTestClient::dropConnection() {
    mbedtls_net_free(&state_->net);
}

std::vector<unsigned char> Frame(unsigned char flag, const std::vector<unsigned char>& payload) {
    const size_t n = payload.size();
    std::vector<unsigned char> frame(5 + n);
    for (int i = 0; i < 4; ++i) {
        frame[static_cast<size_t>(i)] = static_cast<unsigned char>((n >> (8 * i)) & 0xFF);
    }
    frame[4] = flag;
    std::copy(payload.begin(), payload.end(), frame.begin() + 5);
    return frame;
}

std::vector<unsigned char> Bytes(size_t n, unsigned char seed) {
    std::vector<unsigned char> bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<unsigned char>(seed + i * 7);
    }
    return bytes;
}

}  // namespace vexa::test
