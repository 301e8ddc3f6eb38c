// A TLS client that can misbehave on purpose: it completes handshakes (or
// not), sends TLS records or raw bytes on the socket, resets the connection
// or ends it properly, and tells how the server ended it.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <string>
#include <vector>

namespace vexa::test {

using Octets = std::vector<unsigned char>;

// What every connection shares: the generator, the trusted CA, one client
// configuration, and the last session (connections resume it when they
// can, which keeps thousands of handshakes cheap).
class FaultTls {
public:
    // readTimeoutMs bounds every read of every connection.
    FaultTls(const std::string& caFile, int readTimeoutMs);
    ~FaultTls();
    FaultTls(const FaultTls&) = delete;
    FaultTls& operator=(const FaultTls&) = delete;
    bool ok() const { return ok_; }

private:
    friend class FaultConnection;
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context drbg_;
    mbedtls_x509_crt ca_;
    mbedtls_ssl_config conf_;
    mbedtls_ssl_session session_;
    bool haveSession_ = false;
    bool ok_ = false;
};

class FaultConnection {
public:
    explicit FaultConnection(FaultTls& tls);
    ~FaultConnection();
    FaultConnection(const FaultConnection&) = delete;
    FaultConnection& operator=(const FaultConnection&) = delete;

    // TCP to 127.0.0.1:port; false when refused.
    bool connectTcp(int port);
    // The TLS handshake; 0 or the library's code.
    int handshake();
    // One TLS record (or several, for more than a record holds).
    bool sendRecord(const Octets& bytes);
    bool sendFrame(unsigned char flag, const Octets& payload);
    // Bytes straight onto the socket, outside TLS.
    bool sendRaw(const Octets& bytes);
    // One read: the bytes of one record, empty on failure; *ret gets the
    // library's result.
    Octets readOnce(int* ret = nullptr);
    // Reads exactly n bytes, over several records if need be.
    Octets readExactly(size_t n);
    // True when the server ended the connection (close notification, end
    // of stream or reset) rather than the read timing out.
    bool serverClosed();
    void closeNotify();
    // Drops the connection with a reset, unread bytes and all.
    void reset();

private:
    FaultTls& tls_;
    mbedtls_net_context net_;
    mbedtls_ssl_context ssl_;
};

}  // namespace vexa::test
