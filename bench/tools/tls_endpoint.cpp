#include "tools/tls_endpoint.h"

#include <mbedtls/error.h>

namespace vexa::bench {

std::string tlsError(int code) {
    char text[128];
    mbedtls_strerror(code, text, sizeof text);
    return text;
}

namespace {

int configure(TlsObjects& t, int endpoint, std::string* step) {
    *step = "seed";
    int ret = mbedtls_ctr_drbg_seed(&t.drbg, mbedtls_entropy_func, &t.entropy, nullptr, 0);
    if (ret != 0) {
        return ret;
    }
    *step = "config";
    ret = mbedtls_ssl_config_defaults(&t.conf, endpoint, MBEDTLS_SSL_TRANSPORT_STREAM,
                                      MBEDTLS_SSL_PRESET_DEFAULT);
    if (ret != 0) {
        return ret;
    }
    mbedtls_ssl_conf_rng(&t.conf, mbedtls_ctr_drbg_random, &t.drbg);
    mbedtls_ssl_conf_min_version(&t.conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_max_version(&t.conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
    return 0;
}

int handshake(TlsObjects& t, std::string* step) {
    *step = "handshake";
    int ret;
    do {
        ret = mbedtls_ssl_handshake(&t.ssl);
    } while (ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE);
    return ret;
}

}  // namespace

int tlsConnect(TlsObjects& c, const std::string& host, const std::string& port,
               const std::string& caFile, std::string* step) {
    int ret = configure(c, MBEDTLS_SSL_IS_CLIENT, step);
    if (ret != 0) {
        return ret;
    }
    if (caFile.empty()) {
        mbedtls_ssl_conf_authmode(&c.conf, MBEDTLS_SSL_VERIFY_NONE);
    } else {
        *step = "CA file";
        if ((ret = mbedtls_x509_crt_parse_file(&c.cert, caFile.c_str())) != 0) {
            return ret;
        }
        mbedtls_ssl_conf_ca_chain(&c.conf, &c.cert, nullptr);
        mbedtls_ssl_conf_authmode(&c.conf, MBEDTLS_SSL_VERIFY_REQUIRED);
    }
    *step = "setup";
    if ((ret = mbedtls_ssl_setup(&c.ssl, &c.conf)) != 0 ||
        (ret = mbedtls_ssl_set_hostname(&c.ssl, host.c_str())) != 0) {
        return ret;
    }
    *step = "connect";
    if ((ret = mbedtls_net_connect(&c.net, host.c_str(), port.c_str(), MBEDTLS_NET_PROTO_TCP)) !=
        0) {
        return ret;
    }
    mbedtls_ssl_set_bio(&c.ssl, &c.net, mbedtls_net_send, mbedtls_net_recv, nullptr);
    return handshake(c, step);
}

int tlsListen(TlsObjects& s, mbedtls_net_context& listener, const std::string& port,
              const std::string& certFile, const std::string& keyFile, std::string* step) {
    int ret = configure(s, MBEDTLS_SSL_IS_SERVER, step);
    if (ret != 0) {
        return ret;
    }
    *step = "certificate";
    if ((ret = mbedtls_x509_crt_parse_file(&s.cert, certFile.c_str())) != 0) {
        return ret;
    }
    *step = "key";
    if ((ret = mbedtls_pk_parse_keyfile(&s.key, keyFile.c_str(), nullptr)) != 0) {
        return ret;
    }
    *step = "own certificate";
    if ((ret = mbedtls_ssl_conf_own_cert(&s.conf, &s.cert, &s.key)) != 0) {
        return ret;
    }
    *step = "setup";
    if ((ret = mbedtls_ssl_setup(&s.ssl, &s.conf)) != 0) {
        return ret;
    }
    *step = "bind";
    // Where the daemon binds by default.
    return mbedtls_net_bind(&listener, "localhost", port.c_str(), MBEDTLS_NET_PROTO_TCP);
}

bool tlsReadAll(mbedtls_ssl_context& ssl, unsigned char* buffer, size_t n) {
    size_t got = 0;
    while (got < n) {
        const int ret = mbedtls_ssl_read(&ssl, buffer + got, n - got);
        if (ret > 0) {
            got += static_cast<size_t>(ret);
        } else if (ret != MBEDTLS_ERR_SSL_WANT_READ && ret != MBEDTLS_ERR_SSL_WANT_WRITE) {
            return false;
        }
    }
    return true;
}

bool tlsWriteAll(mbedtls_ssl_context& ssl, const unsigned char* buffer, size_t n) {
    size_t sent = 0;
    while (sent < n) {
        const int ret = mbedtls_ssl_write(&ssl, buffer + sent, n - sent);
        if (ret > 0) {
            sent += static_cast<size_t>(ret);
        } else if (ret != MBEDTLS_ERR_SSL_WANT_READ && ret != MBEDTLS_ERR_SSL_WANT_WRITE) {
            return false;
        }
    }
    return true;
}

}  // namespace vexa::bench
