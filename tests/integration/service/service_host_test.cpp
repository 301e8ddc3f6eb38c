// vexa-daemon run as a service: the real program under a test notify
// socket, stopped with SIGTERM as systemd stops it.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "integration/service/notify_socket.h"
#include "integration/tls/device_fixture.h"
#include "integration/tls/test_env.h"
#include "integration/tls/tls_test_client.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using vexa::test::ChildProcess;
using vexa::test::NotifySocket;

constexpr const char* kSerial = "5E41CE000001";

// The token's serial number from a C_GetTokenInfo answer ("" when the
// answer does not parse or reports a failure).
std::string TokenSerial(const std::vector<unsigned char>& answer) {
    unsigned rv = 1;
    std::string serial;
    return vexa::test::DecodeTokenInfo(answer, &rv, &serial) && rv == 0 ? serial : "";
}

class ServiceHost : public ::testing::Test {
protected:
    // Starts "vexa-daemon service" in the test directory with its
    // "vexa-daemon.json" and NOTIFY_SOCKET pointing at the test socket.
    void StartService(const std::string& config) {
        vexa::test::WriteFile(dir.file("vexa-daemon.json"), config);
        daemon = std::make_unique<ChildProcess>(
            vexa::test::BinDir() + "/vexa-daemon", std::vector<std::string>{"service"},
            std::map<std::string, std::string>{{"NOTIFY_SOCKET", notify.path()},
                                               {"VEXA_VIRTUAL_DEVICE", dir.file("sim.sock")},
                                               {"VEXA_KEY_PASS", ""}},
            dir.path());
    }

    // A configuration with the test PKI, the device and a free port.
    std::string ServingConfig() {
        pki = vexa::test::GeneratePki(dir.path());
        port = vexa::test::FreeLoopbackPort();
        return std::string("{\"device\": \"") + kSerial + "\", \"port\": \"" +
               std::to_string(port) + "\", \"bindaddress\": \"127.0.0.1\", \"cafile\": \"" +
               pki.caCert + "\", \"certfile\": \"" + pki.serverCert + "\", \"keyfile\": \"" +
               pki.serverKey + "\"}";
    }

    void ExpectRunning() {
        ASSERT_TRUE(notify.waitForLinePrefix("STATUS=Starting (check point ")) << daemon->err();
        ASSERT_TRUE(notify.waitForLine("READY=1")) << daemon->err();
        EXPECT_TRUE(NotifySocket::HasLine(notify.messages().back(), "STATUS=Running"));
    }

    void ExpectStopsWithStatus0() {
        EXPECT_TRUE(notify.waitForLine("STATUS=Stopped")) << daemon->err();
        EXPECT_EQ(daemon->waitExit(std::chrono::seconds(60)), 0) << daemon->err();
    }

    vexa::test::TempDir dir;
    NotifySocket notify{dir.file("notify")};
    vexa::test::TestPki pki;
    int port = 0;
    std::unique_ptr<ChildProcess> daemon;
};

TEST_F(ServiceHost, OutsideSystemdTheDispatcherCannotStart) {
    vexa::test::WriteFile(dir.file("vexa-daemon.json"), "{}");
    vexa::test::CommandResult r =
        vexa::test::RunCommand(vexa::test::BinDir() + "/vexa-daemon", {"service", "-d", kSerial},
                               {{"NOTIFY_SOCKET", ""}}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ERROR: Failed to run service, 0x00000427\n\r\n");
}

TEST_F(ServiceHost, AMissingCertificateStopsTheServiceWithAFailure) {
    ASSERT_TRUE(notify.ok());
    StartService("{\"device\": \"" + std::string(kSerial) + "\", \"certfile\": \"" +
                 dir.file("missing.pem") + "\"}");
    ASSERT_TRUE(notify.waitForLinePrefix("STATUS=Starting (check point ")) << daemon->err();
    EXPECT_TRUE(notify.waitForLine("STATUS=Stopped (exit code 0x0000042a)")) << daemon->err();
    EXPECT_EQ(daemon->waitExit(std::chrono::seconds(60)), 1) << daemon->err();
    EXPECT_NE(daemon->err().find("Failed to open cert file " + dir.file("missing.pem")),
              std::string::npos)
        << daemon->err();
}

TEST_F(ServiceHost, AnIdleServerStopsOnSigterm) {
    ASSERT_TRUE(notify.ok());
    StartService(ServingConfig());
    ExpectRunning();
    ASSERT_TRUE(daemon->waitForStdout("Binding on 127.0.0.1:" + std::to_string(port)));

    ASSERT_EQ(kill(daemon->pid(), SIGTERM), 0);
    EXPECT_TRUE(notify.waitForLine("STOPPING=1"));
    ExpectStopsWithStatus0();
    EXPECT_EQ(daemon->err().find("ERROR: accept"), std::string::npos) << daemon->err();
}

TEST_F(ServiceHost, ServesAClientThroughToTheDeviceAndStopsWhenItLeaves) {
    ASSERT_TRUE(notify.ok());
    ChildProcess sim(vexa::test::BinDir() + "/vexa-sim",
                     {"--socket", dir.file("sim.sock"), "--serial", kSerial, "--settle-ms", "0"});
    ASSERT_TRUE(sim.waitForStdout("vexa-sim: ready")) << sim.err();
    StartService(ServingConfig());
    ExpectRunning();

    vexa::test::TlsTestClient client;
    ASSERT_EQ(client.connect(port, pki.caCert), 0) << daemon->err();
    const std::vector<unsigned char> request = vexa::test::TokenInfoRequest();
    ASSERT_FALSE(request.empty());
    auto ask = [&] {
        if (client.sendFrame(0, request) != 0) {
            return std::string("(send failed)");
        }
        std::vector<unsigned char> answer;
        int n = client.readOnce(&answer);
        return n > 0 ? TokenSerial(answer) : std::string("(read failed)");
    };
    EXPECT_EQ(ask(), kSerial) << daemon->err();

    // The stop waits for the connected client, which is still served.
    ASSERT_EQ(kill(daemon->pid(), SIGTERM), 0);
    ASSERT_TRUE(notify.waitForLine("STOPPING=1"));
    EXPECT_EQ(ask(), kSerial) << daemon->err();
    EXPECT_FALSE(daemon->waitExit(std::chrono::milliseconds(0)).has_value());

    client.closeNotify();
    ExpectStopsWithStatus0();
}

}  // namespace
