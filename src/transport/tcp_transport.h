// The transport that reaches a device through a vexa-daemon: a TLS client
// connection to the daemon's address and port.
//
// Each request goes out as one frame: payload length (4 bytes, little-
// endian), a flag byte 0x00 and the payload; the whole frame is at most 4096
// bytes. The daemon answers with the device's raw bytes. The daemon's
// certificate must verify against the CA bundle (PEM or DER) for the host
// name given as the address (for an IP address: the address among the
// certificate's subject alternative names); otherwise the connection fails
// and the reason reaches the user on standard error. TLS 1.2 or later with
// forward-secret AEAD suites only. A client certificate is presented when
// one is set. A reconnection resumes the last TLS session when the daemon
// still knows it; the session is also kept for the next process of the same
// user (in "$XDG_RUNTIME_DIR/vexa-pkcs11/", readable by the user only), so
// that a short-lived application does not pay a full handshake.
//
// Failures are logged at ERROR through the log target (none when it is
// null). open() throws IOException "connection failed"; read() and write()
// return 0, and a TLS read or write error closes the connection so that the
// next open() reconnects.
#pragma once

#include <memory>
#include <string>

#include "log/log_target.h"
#include "platform/printf_format.h"
#include "transport/tls_frame.h"
#include "transport/transport.h"

namespace talvoranth {

class TCPTransport : public CTransport {
public:
    // The largest frame the daemon accepts, and the payload that fits in it.
    static constexpr int kMaxFrame = 4096;
    static constexpr int kMaxPayload = kMaxFrame - vexa::tls::kFrameHeaderSize;
    static constexpr int kDefaultTimeoutMs = 10000;

    TCPTransport(const std::string& address, int port, const std::string& caBundlePath,
                 ILogTarget* log);
    ~TCPTransport() override;
    TCPTransport(const TCPTransport&) = delete;
    TCPTransport& operator=(const TCPTransport&) = delete;

    // Closes any current connection, then connects with the current time-out
    // as the TLS read time-out. Throws IOException "connection failed".
    void open() override;
    // A connection is held and the daemon has not ended it meanwhile (it
    // ends an idle one to hand the device to a waiting client, or after its
    // silent limit). A connection found ended is released, so that the next
    // open() makes a new one.
    bool isOpen() override;
    // Sends the close-notify alert (once, result ignored) and releases the
    // connection; nothing when not connected.
    void close() override;
    // Read time-out in milliseconds; a live connection takes it at once. A
    // value of 0 or below waits without limit.
    void setTimeout(int milliseconds) override;
    int getTimeout() override;
    // One TLS read of at most capacity bytes; 0 on failure (the connection
    // is then closed).
    int read(unsigned char* buffer, int capacity) override;
    // Frames and sends one request; returns length, or 0 on failure. More
    // than kMaxPayload bytes are refused without sending or logging.
    int write(const unsigned char* data, int length) override;
    std::string name() override { return "TCP"; }
    // Every successful connect counts: the daemon clears the device between
    // its clients, so a new connection finds none of this one's sessions.
    unsigned long connectionCount() const override { return connections_; }

    // Presents this certificate and key (PEM or DER files) to the daemon from
    // the next connection on. The key's password, if it has one, is read from
    // the environment variable kClientKeyPasswordVariable at each connect.
    void setClientCertificate(const std::string& certFile, const std::string& keyFile);
    static constexpr const char* kClientKeyPasswordVariable = "VEXA_CLIENT_KEY_PASS";

private:
    struct Connection;
    struct SavedSession;

    std::unique_ptr<Connection> connect(int readTimeoutMs);
    bool loadClientCertificate(Connection& c);
    // The file that keeps the session for this daemon, CA bundle and client
    // certificate between processes ("" when the user has no run-time
    // directory); loading and storing it.
    std::string sessionFile() const;
    void loadSessionFile();
    void storeSessionFile();
    void forgetSession();
    // The reason the daemon's certificate is not accepted, or "".
    std::string verificationFailure(Connection& c);
    // Drops bytes of an earlier answer that the caller did not read, so that
    // they are never taken for the answer to the next request.
    void discardUnreadAnswer();
    // True when the daemon has ended the connection while it was idle (it
    // hands the device to a waiting client, or ends a silent connection):
    // between requests it never sends anything else.
    bool closedWhileIdle();
    void logf(int level, const char* format, ...) VEXA_PRINTF_FORMAT(3, 4);

    int timeoutMs_ = kDefaultTimeoutMs;
    int port_;
    std::string address_;
    std::string caBundlePath_;
    std::string clientCertFile_;
    std::string clientKeyFile_;
    ILogTarget* log_;
    std::unique_ptr<Connection> connection_;
    // The last established session, offered to the daemon on reconnection.
    std::unique_ptr<SavedSession> savedSession_;
    unsigned long connections_ = 0;
};

}  // namespace talvoranth
