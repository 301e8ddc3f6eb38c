// The real vexa-daemon between a TLS client and a real vexa-sim: requests
// reach the device and its answers come back; echo frames, frame layouts,
// broken frames and vanishing clients or devices end at most their own
// connection.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "integration/tls/device_fixture.h"
#include "integration/tls/test_env.h"
#include "integration/tls/tls_test_client.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using testing::HasSubstr;
using vexa::test::Bytes;
using vexa::test::ChildProcess;
using vexa::test::Frame;
using vexa::test::SimDevice;
using vexa::test::TlsTestClient;
using Bytes_t = std::vector<unsigned char>;

const std::string kSerial = "56455841BEEF";

class DaemonRelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(pki_.serverCert.empty());
        startSim();
        port_ = vexa::test::FreeLoopbackPort();
        daemon_ = vexa::test::StartDaemon(kSerial, port_, simSocket(), pki_.caCert, pki_.serverCert,
                                          pki_.serverKey, work_.path());
    }

    std::string simSocket() const { return work_.file("sim.sock"); }
    void startSim() {
        sim_ = std::make_unique<SimDevice>(simSocket(), kSerial);
        ASSERT_TRUE(sim_->ready());
    }

    std::unique_ptr<TlsTestClient> connect() {
        auto client = std::make_unique<TlsTestClient>();
        EXPECT_EQ(0, client->connect(port_, pki_.caCert));
        return client;
    }

    // One C_GetTokenInfo through the daemon: the device's own answer.
    static void expectDeviceAnswers(TlsTestClient& client) {
        ASSERT_EQ(0, client.sendFrame(0, vexa::test::TokenInfoRequest()));
        expectTokenInfo(client);
    }
    static void expectTokenInfo(TlsTestClient& client) {
        Bytes_t answer;
        ASSERT_GT(client.readOnce(&answer), 0);
        unsigned rv = 0xFFFF;
        std::string serial;
        ASSERT_TRUE(vexa::test::DecodeTokenInfo(answer, &rv, &serial));
        EXPECT_EQ(0u, rv);
        EXPECT_EQ(kSerial, serial);
    }

    void expectDaemonRunning() {
        EXPECT_FALSE(daemon_->waitExit(std::chrono::milliseconds(0)).has_value()) << daemon_->err();
    }

    const vexa::test::TestPki& pki_ = vexa::test::SuitePki();
    vexa::test::TempDir work_;
    std::unique_ptr<SimDevice> sim_;
    int port_ = 0;
    std::unique_ptr<ChildProcess> daemon_;
};

TEST_F(DaemonRelayTest, RelaysRequestsToTheDeviceAndServesClientsOneAfterAnother) {
    for (int i = 1; i <= 2; ++i) {
        SCOPED_TRACE(i);
        auto client = connect();
        expectDeviceAnswers(*client);
        expectDeviceAnswers(*client);
        client->closeNotify();
        EXPECT_TRUE(client->serverClosed());
        EXPECT_TRUE(daemon_->waitForStdout(
            "TLS read failed, connection closed by peer.\r\n" +
            std::string(i == 2 ? "TLS read failed, connection closed by peer.\r\n" : "")));
    }
    EXPECT_THAT(daemon_->err(), Not(HasSubstr("ERROR")));
    expectDaemonRunning();
}

TEST_F(DaemonRelayTest, EchoesFramesWithANonzeroFlagUnchanged) {
    auto client = connect();
    const Bytes_t ten = Bytes(10, 1);
    const Bytes_t full = Bytes(4096, 2);
    // The empty echo is an empty record, which the client's reads pass over.
    ASSERT_EQ(0, client->sendFrame(1, {}));
    ASSERT_EQ(0, client->sendFrame(0x80, ten));
    EXPECT_EQ(ten, client->receive(ten.size()));
    ASSERT_EQ(0, client->sendFrame(0xFF, full));
    EXPECT_EQ(full, client->receive(full.size()));
    // The device was not disturbed by any of it.
    expectDeviceAnswers(*client);
}

TEST_F(DaemonRelayTest, FramesMayShareARecordAndPayloadsMaySpanRecords) {
    auto client = connect();
    const Bytes_t a = Bytes(7, 3);
    const Bytes_t b = Bytes(300, 4);
    // Three frames in one record; the answers come back in order.
    Bytes_t record = Frame(1, a);
    const Bytes_t request = Frame(0, vexa::test::TokenInfoRequest());
    record.insert(record.end(), request.begin(), request.end());
    const Bytes_t last = Frame(2, b);
    record.insert(record.end(), last.begin(), last.end());
    ASSERT_EQ(0, client->send(record));
    EXPECT_EQ(a, client->receive(a.size()));
    expectTokenInfo(*client);
    EXPECT_EQ(b, client->receive(b.size()));

    // The header in one record, the payload in two more.
    const Bytes_t split = Frame(0, vexa::test::TokenInfoRequest());
    ASSERT_EQ(0, client->send(Bytes_t(split.begin(), split.begin() + 5)));
    ASSERT_EQ(0, client->send(Bytes_t(split.begin() + 5, split.begin() + 6)));
    ASSERT_EQ(0, client->send(Bytes_t(split.begin() + 6, split.end())));
    expectTokenInfo(*client);
}

TEST_F(DaemonRelayTest, ABrokenFrameClosesOnlyItsConnection) {
    const Bytes_t header = Frame(0, Bytes(20, 0));
    struct Case {
        const char* name;
        std::vector<Bytes_t> records;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"length above 4096", {Frame(1, Bytes(4097, 5))}, "ERROR: packet len too big 4097\r\n"},
        {"header split over two records",
         {Bytes_t(header.begin(), header.begin() + 2), Bytes_t(header.begin() + 2, header.end())},
         "ERROR: short len read\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto client = connect();
        for (const auto& r : c.records) {
            client->send(r);
        }
        EXPECT_TRUE(client->serverClosed());
        EXPECT_TRUE(daemon_->waitForStderr(c.line)) << daemon_->err();
        auto next = connect();
        expectDeviceAnswers(*next);
    }
    expectDaemonRunning();
}

TEST_F(DaemonRelayTest, ClientsThatDisappearWithoutNotificationDoNotStopTheDaemon) {
    struct Case {
        const char* name;
        Bytes_t sent;
        bool answerArrives;  // wait for the answer and leave it unread
    };
    const Bytes_t request = Frame(0, vexa::test::TokenInfoRequest());
    const std::vector<Case> cases = {
        {"right after the handshake", {}, false},
        {"in the middle of a payload", Bytes_t(request.begin(), request.begin() + 6), false},
        // The daemon writes the device's answer to a closed connection.
        {"with a device request in flight", request, false},
        // The connection is reset: the daemon's close notification then
        // goes to a broken pipe.
        {"with an answer left unread", request, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            auto client = connect();
            if (!c.sent.empty()) {
                ASSERT_EQ(0, client->send(c.sent));
            }
            if (c.answerArrives) {
                ASSERT_TRUE(client->waitReadable());
            }
            client->dropConnection();
        }

        auto next = connect();
        expectDeviceAnswers(*next);
        expectDaemonRunning();
    }
}

TEST_F(DaemonRelayTest, ADeviceThatVanishesBetweenClientsDropsClientsUntilItIsBack) {
    {
        auto client = connect();
        expectDeviceAnswers(*client);
        client->closeNotify();
        EXPECT_TRUE(client->serverClosed());
    }
    sim_->stop();
    {
        auto client = connect();  // the handshake still completes
        EXPECT_TRUE(client->serverClosed());
        EXPECT_TRUE(daemon_->waitForStderr("ERROR: Could not open device on USB transport.\r\n"));
        EXPECT_THAT(daemon_->err(), HasSubstr("Error opening port: "));
    }
    startSim();
    auto client = connect();
    expectDeviceAnswers(*client);
    expectDaemonRunning();
}

// A client that leaves while its answer is on the way: writing to the closed
// connection must not end the daemon (by SIGPIPE), and the next client is
// served.
TEST_F(DaemonRelayTest, AClientThatLeavesBeforeItsAnswerDoesNotEndTheDaemon) {
    ASSERT_TRUE(sim_->control("delay 0 500"));
    {
        auto client = connect();
        ASSERT_EQ(0, client->sendFrame(0, vexa::test::TokenInfoRequest()));
        client->dropConnection();
    }
    auto client = connect();
    expectDeviceAnswers(*client);
    expectDaemonRunning();
}

}  // namespace

// A device that takes a request and never answers it: the daemon waits for
// the answer only while the client that sent it does. When that client
// gives up (as the module does after its own time-out), the daemon stops
// waiting, recovers the device and serves the next client, long before its
// own device time-out (65 s; the next client would give up after 30 s).
TEST_F(DaemonRelayTest, AClientThatGivesUpOnAnAnswerThatNeverComesFreesTheDevice) {
    struct Case {
        const char* name;
        bool notify;  // a TLS close notification before the connection ends
    };
    for (const Case& c : {Case{"closed", true}, Case{"dropped", false}}) {
        SCOPED_TRACE(c.name);
        {
            // The device is the client's once it answered; its next request
            // is the one never answered.
            auto client = connect();
            expectDeviceAnswers(*client);
            ASSERT_TRUE(sim_->control("drop 0"));
            ASSERT_EQ(0, client->sendFrame(0, vexa::test::TokenInfoRequest()));
            if (c.notify) {
                client->closeNotify();
            } else {
                client->dropConnection();
            }
        }
        auto next = connect();
        expectDeviceAnswers(*next);
        next->closeNotify();
        EXPECT_TRUE(daemon_->waitForStdout(
            "Client left before the device answered: the exchange is abandoned.\r\n"))
            << daemon_->out() << daemon_->err();
        expectDaemonRunning();
    }
}
