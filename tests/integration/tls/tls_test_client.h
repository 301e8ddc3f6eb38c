// A TLS client for driving the daemon byte by byte: each send() is one TLS
// record, so tests can place frame boundaries where they want them.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace vexa::test {

class TlsTestClient {
public:
    TlsTestClient();
    ~TlsTestClient();
    TlsTestClient(const TlsTestClient&) = delete;
    TlsTestClient& operator=(const TlsTestClient&) = delete;

    // Connects to 127.0.0.1 and completes the handshake, verifying the
    // server against caFile for "localhost". A refused connection is tried
    // again for up to 30 s (the server may still be starting). Returns 0 or
    // the library's error code.
    int connect(int port, const std::string& caFile, int readTimeoutMs = 30000);

    // One TLS record with these bytes (one write call). 0 or an error code.
    int send(const std::vector<unsigned char>& bytes);
    // A frame: length (little-endian), flag, payload; in one record.
    int sendFrame(unsigned char flag, const std::vector<unsigned char>& payload);

    // Reads until n bytes arrived or a read fails; returns what arrived.
    std::vector<unsigned char> receive(size_t n);
    // One read: > 0 bytes, 0 closed without notification, or an error code.
    int readOnce(std::vector<unsigned char>* out, size_t capacity = 8192);
    // True when the server has ended the connection: the next read gives a
    // close notification, end of stream or a reset (not a time-out).
    bool serverClosed();

    // Waits until bytes from the server are waiting to be read.
    bool waitReadable(int timeoutMs = 30000);

    void closeNotify();
    // Drops the TCP connection without a TLS close notification (with
    // unread bytes waiting, the peer gets a reset).
    void dropConnection();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Frame bytes: length (little-endian), flag, payload.
std::vector<unsigned char> Frame(unsigned char flag, const std::vector<unsigned char>& payload);
std::vector<unsigned char> Bytes(size_t n, unsigned char seed);

}  // namespace vexa::test
