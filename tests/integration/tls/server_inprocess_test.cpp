// RunServer on a thread of the test process, as the service host runs it:
// the stop flag, a stop while a client is connected, and the read time-out
// (lowered through ServerOptions so that it takes a fraction of a second).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mbedtls/error.h>
#include <mbedtls/ssl.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>

#include "daemon/server.h"
#include "integration/tls/device_fixture.h"
#include "integration/tls/test_env.h"
#include "integration/tls/tls_test_client.h"
#include "support/temp_dir.h"

namespace {

using testing::HasSubstr;
using vexa::test::TlsTestClient;

const std::string kSerial = "56455841AA01";
constexpr auto kPatience = std::chrono::seconds(30);

std::string LibraryText(int code) {
    char text[100];
    mbedtls_strerror(code, text, sizeof text);
    return text;
}

class InProcessServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(pki_.serverCert.empty());
        sim_ = std::make_unique<vexa::test::SimDevice>(work_.file("sim.sock"), kSerial);
        ASSERT_TRUE(sim_->ready());
        setenv("VEXA_VIRTUAL_DEVICE", sim_->socketPath().c_str(), 1);
        port_ = vexa::test::FreeLoopbackPort();
        StopRequested = false;
    }

    void TearDown() override {
        StopRequested = true;
        if (result_.valid()) {
            result_.wait();
        }
        unsetenv("VEXA_VIRTUAL_DEVICE");
    }

    // Runs the server on its own thread; returns once it accepts clients.
    void start(uint32_t readTimeoutMs = 60000) {
        DaemonSettings settings;
        settings.port = std::to_string(port_);
        settings.device = kSerial;
        settings.bindAddress = "127.0.0.1";
        settings.caFile = pki_.caCert;
        settings.certFile = pki_.serverCert;
        settings.keyFile = pki_.serverKey;
        ServerOptions options;
        options.readTimeoutMs = readTimeoutMs;
        options.onReady = [this] { ready_.set_value(); };
        result_ = std::async(std::launch::async,
                             [settings, options] { return RunServer(settings, options); });
        ASSERT_EQ(std::future_status::ready, ready_.get_future().wait_for(kPatience));
    }

    bool serverReturned(std::chrono::milliseconds within) {
        return result_.wait_for(within) == std::future_status::ready;
    }

    std::unique_ptr<TlsTestClient> connect() {
        auto client = std::make_unique<TlsTestClient>();
        EXPECT_EQ(0, client->connect(port_, pki_.caCert));
        return client;
    }

    static void expectDeviceAnswers(TlsTestClient& client) {
        ASSERT_EQ(0, client.sendFrame(0, vexa::test::TokenInfoRequest()));
        std::vector<unsigned char> answer;
        ASSERT_GT(client.readOnce(&answer), 0);
        unsigned rv = 0xFFFF;
        std::string serial;
        ASSERT_TRUE(vexa::test::DecodeTokenInfo(answer, &rv, &serial));
        EXPECT_EQ(0u, rv);
        EXPECT_EQ(kSerial, serial);
    }

    const vexa::test::TestPki& pki_ = vexa::test::SuitePki();
    vexa::test::TempDir work_;
    std::unique_ptr<vexa::test::SimDevice> sim_;
    int port_ = 0;
    std::promise<void> ready_;
    std::future<int> result_;
};

// True when a plain socket can take the port again: nothing listens there.
bool PortIsFree(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    bool free =
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd, 1) == 0;
    ::close(fd);
    return free;
}

TEST_F(InProcessServerTest, AStopRequestEndsAnIdleServerAndReleasesItsPort) {
    start();
    EXPECT_FALSE(PortIsFree(port_));
    StopRequested = true;
    ASSERT_TRUE(serverReturned(kPatience));
    EXPECT_EQ(0, result_.get());
    EXPECT_TRUE(PortIsFree(port_));
}

TEST_F(InProcessServerTest, AStopDuringAConnectionWaitsUntilTheClientLeaves) {
    start();
    auto client = connect();
    expectDeviceAnswers(*client);
    StopRequested = true;
    // The connection in progress is served to its end.
    expectDeviceAnswers(*client);
    EXPECT_FALSE(serverReturned(std::chrono::milliseconds(100)));
    expectDeviceAnswers(*client);
    client->closeNotify();
    ASSERT_TRUE(serverReturned(kPatience));
    EXPECT_EQ(0, result_.get());
}

TEST_F(InProcessServerTest, ReadsWaitAtMostTheReadTimeOut) {
    start(300);
    const std::string timedOut = std::to_string(MBEDTLS_ERR_SSL_TIMEOUT);
    testing::internal::CaptureStderr();

    // A client that goes silent after the handshake is closed.
    {
        auto client = connect();
        EXPECT_TRUE(client->serverClosed());
    }
    // So is one that never starts its handshake.
    {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port_));
        ASSERT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
        char byte;
        EXPECT_EQ(0, ::read(fd, &byte, 1));  // the server gives up and closes
        ::close(fd);
    }
    // And the server goes on.
    auto client = connect();
    expectDeviceAnswers(*client);
    client->closeNotify();
    StopRequested = true;
    ASSERT_TRUE(serverReturned(kPatience));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("ERROR: TLS read failed " + timedOut + " : " +
                               LibraryText(MBEDTLS_ERR_SSL_TIMEOUT) + "\r\n"));
    EXPECT_THAT(err, HasSubstr("ERROR: ssl handshake returned " + timedOut +
                               "\r\nERROR: Last error was: " + timedOut + " - " +
                               LibraryText(MBEDTLS_ERR_SSL_TIMEOUT) + "\n\r\n"));
}

}  // namespace
