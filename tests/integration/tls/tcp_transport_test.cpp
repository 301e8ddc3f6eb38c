// TCPTransport, the module's TLS client, against the real vexa-daemon and a
// real vexa-sim: exchanges with the device, certificate checks, connect
// failures, frame bounds, time-outs and reconnection, with the log lines
// each produces.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "integration/tls/device_fixture.h"
#include "integration/tls/test_env.h"
#include "integration/tls/tls_test_client.h"
#include "log/log_target.h"
#include "support/child_process.h"
#include "support/function_id.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "transport/tcp_transport.h"

namespace {

using talvoranth::LOG_ERROR;
using talvoranth::LOG_INFO;
using talvoranth::LOG_TRACE;
using talvoranth::LOG_WARN;
using talvoranth::TCPTransport;
using testing::Contains;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::Pair;
using testing::StartsWith;
using Bytes = std::vector<unsigned char>;
using LogLine = std::pair<int, std::string>;

const std::string kSerial = "564558410C0D";
// C_SeedRandom without a session: the device answers this.
constexpr unsigned kSessionHandleInvalid = 0xB3;

std::string LastError(int code) {
    char text[100];
    mbedtls_strerror(code, text, sizeof text);
    return "Last error was: " + std::to_string(code) + " - " + text;
}

// A C_SeedRandom request whose encoding is exactly `size` bytes (size >= 133).
Bytes SeedRandomRequest(size_t size) {
    // function_id (one byte: the id is below 128), then field 4 (data) with
    // a two-byte length.
    constexpr uint32_t kSeedRandom = vexa::test::id(vexa::rpc::FunctionId::SeedRandom);
    static_assert(kSeedRandom < 0x80);
    const size_t data = size - 5;
    Bytes request = {0x08, kSeedRandom, 0x22, static_cast<unsigned char>((data & 0x7F) | 0x80),
                     static_cast<unsigned char>(data >> 7)};
    request.resize(size, 0x5A);
    return request;
}

class TcpTransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(pki_.serverCert.empty());
        sim_ = std::make_unique<vexa::test::SimDevice>(work_.file("sim.sock"), kSerial);
        ASSERT_TRUE(sim_->ready());
        port_ = vexa::test::FreeLoopbackPort();
    }

    void startDaemon(const std::string& cert, const std::string& key) {
        daemon_ = vexa::test::StartDaemon(kSerial, port_, sim_->socketPath(), pki_.caCert, cert,
                                          key, work_.path());
        // Listening once a client gets through (its handshake may fail).
        vexa::test::TlsTestClient probe;
        if (probe.connect(port_, pki_.caCert) == 0) {
            probe.closeNotify();
        }
    }
    void startDaemon() { startDaemon(pki_.serverCert, pki_.serverKey); }

    std::unique_ptr<TCPTransport> transport(const std::string& ca,
                                            const std::string& host = "localhost") {
        return std::make_unique<TCPTransport>(host, port_, ca, &log_);
    }

    // One C_GetTokenInfo exchange; the answer's size.
    static int expectTokenInfo(TCPTransport& t) {
        const Bytes request = vexa::test::TokenInfoRequest();
        EXPECT_EQ(static_cast<int>(request.size()),
                  t.write(request.data(), static_cast<int>(request.size())));
        Bytes answer(2048);
        int n = t.read(answer.data(), static_cast<int>(answer.size()));
        EXPECT_GT(n, 0);
        answer.resize(n > 0 ? static_cast<size_t>(n) : 0);
        unsigned rv = 0xFFFF;
        std::string serial;
        EXPECT_TRUE(vexa::test::DecodeTokenInfo(answer, &rv, &serial));
        EXPECT_EQ(0u, rv);
        EXPECT_EQ(kSerial, serial);
        return n;
    }

    std::vector<LogLine> linesAt(int level) const { return log_.linesAt(level); }

    const vexa::test::TestPki& pki_ = vexa::test::SuitePki();
    vexa::test::TempDir work_;
    std::unique_ptr<vexa::test::SimDevice> sim_;
    std::unique_ptr<vexa::test::ChildProcess> daemon_;
    int port_ = 0;
    vexa::test::CLogCapture log_;
};

TEST_F(TcpTransportTest, ExchangesWithTheDeviceThroughTheDaemon) {
    struct Case {
        const char* name;
        std::string caBundle;
        std::string cert;
    };
    const std::vector<Case> cases = {
        {"PEM bundle", pki_.caCert, pki_.serverCert},
        {"DER bundle", pki_.caCertDer, pki_.serverCert},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        daemon_.reset();
        startDaemon(c.cert, pki_.serverKey);
        log_.clear();
        auto t = transport(c.caBundle);
        EXPECT_EQ("TCP", t->name());
        EXPECT_FALSE(t->isOpen());
        t->open();
        EXPECT_TRUE(t->isOpen());
        expectTokenInfo(*t);
        expectTokenInfo(*t);
        t->close();
        EXPECT_FALSE(t->isOpen());
        t->close();  // harmless
        EXPECT_THAT(
            linesAt(LOG_INFO),
            Contains(Pair(LOG_INFO, "Connecting to localhost:" + std::to_string(port_) + "...")));
        EXPECT_THAT(linesAt(LOG_TRACE), ElementsAre(Pair(LOG_TRACE, "closing tls connection.")));
        EXPECT_THAT(linesAt(LOG_ERROR), IsEmpty());
    }
}

// The descriptors of this process connected to 127.0.0.1:port.
std::vector<int> SocketsConnectedTo(int port) {
    std::vector<int> found;
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.ss_family == AF_INET &&
            ntohs(reinterpret_cast<sockaddr_in&>(peer).sin_port) == port) {
            found.push_back(fd);
        }
    }
    return found;
}

TEST_F(TcpTransportTest, TheConnectionIsNotHandedToProgramsStartedLater) {
    startDaemon();
    auto t = transport(pki_.caCert);
    t->open();
    expectTokenInfo(*t);
    const std::vector<int> sockets = SocketsConnectedTo(port_);
    ASSERT_EQ(1u, sockets.size());
    EXPECT_NE(0, fcntl(sockets[0], F_GETFD) & FD_CLOEXEC);
}

TEST_F(TcpTransportTest, OpenOnAnOpenTransportReconnects) {
    startDaemon();
    auto t = transport(pki_.caCert);
    t->open();
    expectTokenInfo(*t);
    t->open();  // the daemon serves the new connection once the old one is closed
    EXPECT_THAT(linesAt(LOG_TRACE), ElementsAre(Pair(LOG_TRACE, "closing tls connection.")));
    expectTokenInfo(*t);
}

TEST_F(TcpTransportTest, RefusesADaemonWhoseCertificateDoesNotVerify) {
    struct Case {
        const char* name;
        std::string cert, key, host;
    };
    const std::vector<Case> cases = {
        {"signed by another CA", pki_.otherServerCert, pki_.otherServerKey, "localhost"},
        {"issued for another name", pki_.serverCert, pki_.serverKey, "127.0.0.1"},
        {"signed with SHA-1", pki_.serverCertSha1, pki_.serverKey, "localhost"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        daemon_.reset();
        startDaemon(c.cert, c.key);
        log_.clear();
        auto t = transport(pki_.caCert, c.host);
        try {
            t->open();
            ADD_FAILURE() << "open succeeded";
        } catch (const talvoranth::IOException& e) {
            EXPECT_STREQ("connection failed", e.what());
            EXPECT_EQ(-1, e.code());
        }
        EXPECT_FALSE(t->isOpen());
        auto errors = linesAt(LOG_ERROR);
        ASSERT_EQ(1u, errors.size());
        EXPECT_THAT(errors[0].second, StartsWith("Certificate verification failed: "));
        EXPECT_GT(errors[0].second.size(), std::string("Certificate verification failed: ").size());
        EXPECT_THAT(linesAt(LOG_TRACE), IsEmpty());
    }
}

TEST_F(TcpTransportTest, ConnectFailuresAreLoggedAndThrown) {
    const std::string missing = work_.file("missing-ca.pem");
    struct Case {
        const char* name;
        std::string caBundle;
        std::vector<LogLine> lines;
    };
    const std::string connecting = "Connecting to localhost:" + std::to_string(port_) + "...";
    const std::vector<Case> cases = {
        {"CA bundle missing",
         missing,
         {{LOG_ERROR, "Failed to open ca cert file " + missing + "."},
          {LOG_ERROR, LastError(-15872)}}},
        {"CA bundle holds no certificate",
         pki_.serverKey,
         {{LOG_ERROR, "CA file parse returned -0x2180"},
          {LOG_ERROR, LastError(MBEDTLS_ERR_X509_INVALID_FORMAT)}}},
        {"no daemon listening",
         pki_.caCert,
         {{LOG_INFO, connecting},
          {LOG_ERROR, "connect returned " + std::to_string(MBEDTLS_ERR_NET_CONNECT_FAILED)},
          {LOG_ERROR,
           "connect to localhost:" + std::to_string(port_) + " failed: Connection refused"},
          {LOG_ERROR, LastError(MBEDTLS_ERR_NET_CONNECT_FAILED)}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log_.clear();
        auto t = transport(c.caBundle);
        try {
            t->open();
            ADD_FAILURE() << "open succeeded";
        } catch (const std::exception& e) {
            EXPECT_STREQ("connection failed", e.what());
        }
        EXPECT_FALSE(t->isOpen());
        EXPECT_EQ(c.lines, log_.lines());
    }
}

TEST_F(TcpTransportTest, ReadAndWriteNeedAConnection) {
    auto t = transport(pki_.caCert);
    EXPECT_EQ(TCPTransport::kDefaultTimeoutMs, t->getTimeout());
    unsigned char buffer[TCPTransport::kMaxFrame] = {};
    EXPECT_EQ(0, t->write(buffer, 10));
    EXPECT_EQ(0, t->read(buffer, sizeof buffer));
    // A request that cannot be framed is refused before anything else.
    EXPECT_EQ(0, t->write(buffer, TCPTransport::kMaxPayload + 1));
    EXPECT_EQ(0, t->write(buffer, -1));
    EXPECT_EQ((std::vector<LogLine>{{LOG_ERROR, "tls port not open, write failed."},
                                    {LOG_ERROR, "tls port not open, read failed."}}),
              log_.lines());
}

TEST_F(TcpTransportTest, FramesRequestsFromEmptyUpTo4091Bytes) {
    startDaemon();
    auto t = transport(pki_.caCert);
    t->open();
    Bytes answer(2048);

    // 4092 bytes would make a frame above 4096: refused, nothing sent.
    const Bytes tooLong = SeedRandomRequest(TCPTransport::kMaxPayload + 1);
    EXPECT_EQ(0, t->write(tooLong.data(), static_cast<int>(tooLong.size())));
    EXPECT_TRUE(t->isOpen());

    // 4091 bytes: a 4096-byte frame that reaches the device whole.
    const Bytes longest = SeedRandomRequest(TCPTransport::kMaxPayload);
    EXPECT_EQ(TCPTransport::kMaxPayload,
              t->write(longest.data(), static_cast<int>(longest.size())));
    int n = t->read(answer.data(), static_cast<int>(answer.size()));
    ASSERT_GT(n, 0);
    unsigned rv = 0;
    std::string serial;
    EXPECT_TRUE(
        vexa::test::DecodeTokenInfo(Bytes(answer.begin(), answer.begin() + n), &rv, &serial));
    EXPECT_EQ(kSessionHandleInvalid, rv);

    // An empty request is the 5-byte header alone; the device answers it.
    EXPECT_EQ(0, t->write(nullptr, 0));
    EXPECT_GT(t->read(answer.data(), static_cast<int>(answer.size())), 0);

    // The stream is still in step: the next answer is the next request's.
    expectTokenInfo(*t);
    EXPECT_THAT(linesAt(LOG_ERROR), IsEmpty());
    EXPECT_THAT(daemon_->err(), Not(testing::HasSubstr("ERROR")));
}

TEST_F(TcpTransportTest, AReadTimeOutClosesAndTheNextOpenReconnects) {
    startDaemon();
    auto t = transport(pki_.caCert);
    t->open();
    expectTokenInfo(*t);
    t->setTimeout(300);  // takes effect on the live connection
    EXPECT_EQ(300, t->getTimeout());
    ASSERT_TRUE(sim_->control("delay 0 1500"));
    const Bytes request = vexa::test::TokenInfoRequest();
    EXPECT_EQ(static_cast<int>(request.size()),
              t->write(request.data(), static_cast<int>(request.size())));
    Bytes answer(2048);
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, t->read(answer.data(), static_cast<int>(answer.size())));
    // The user learns why the call failed, whatever the log settings.
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                testing::HasSubstr("vexa-pkcs11: vexa-daemon localhost:" + std::to_string(port_) +
                                   " did not answer within 300 ms: another application may "
                                   "hold the device, or the device does not answer\n"));
    EXPECT_FALSE(t->isOpen());
    EXPECT_THAT(
        log_.lines(),
        ElementsAre(Pair(LOG_INFO, StartsWith("Connecting to")),
                    Pair(LOG_ERROR, "tls read failed: " + std::to_string(MBEDTLS_ERR_SSL_TIMEOUT)),
                    Pair(LOG_TRACE, "closing tls connection.")));

    // The daemon serves the next connection once the late answer is gone.
    t->setTimeout(20000);
    t->open();
    expectTokenInfo(*t);
}

TEST_F(TcpTransportTest, AnAnswerPartlyReadNeverLeaksIntoTheNextOne) {
    startDaemon();
    auto t = transport(pki_.caCert);
    t->open();
    const int size = expectTokenInfo(*t);
    ASSERT_GT(size, 10);
    const Bytes request = vexa::test::TokenInfoRequest();
    t->write(request.data(), static_cast<int>(request.size()));
    unsigned char head[10];
    EXPECT_EQ(10, t->read(head, sizeof head));
    // The rest of that answer is dropped when the next request goes out.
    expectTokenInfo(*t);
    EXPECT_THAT(linesAt(LOG_WARN),
                ElementsAre(Pair(LOG_WARN, "discarding " + std::to_string(size - 10) +
                                               " unread bytes of an earlier answer")));
}

}  // namespace
