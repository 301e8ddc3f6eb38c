// Nobody keeps the device through the daemon: connections that never
// finish (or never start) their handshake, a silent TLS client and a
// long-running application that holds a logged-in session do not keep
// other applications out, and the long-running one keeps its session. The
// idle daemon sleeps.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/support/token_stack.h"
#include "integration/tls/device_fixture.h"
#include "integration/tls/tls_test_client.h"

namespace vexa::e2e {
namespace {

// A TCP connection to the daemon that never sends a byte. A daemon that has
// bound its port but does not listen yet refuses: that is tried again for
// up to 30 s.
class SilentConnection {
public:
    explicit SilentConnection(int port) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
            connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            if (connected_ || std::chrono::steady_clock::now() > deadline) {
                break;
            }
            ::close(fd_);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~SilentConnection() { ::close(fd_); }
    SilentConnection(const SilentConnection&) = delete;
    SilentConnection& operator=(const SilentConnection&) = delete;
    bool connected() const { return connected_; }

private:
    int fd_ = -1;
    bool connected_ = false;
};

// Context switches of every thread of a process so far.
long ContextSwitches(pid_t pid) {
    long total = 0;
    const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(taskDir)) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                total += std::stol(line.substr(line.find(':') + 1));
            }
        }
    }
    return total;
}

TEST(Admission, AnApplicationIsServedWhileSilentConnectionsAreOpen) {
    CTokenStack stack(Link::Daemon);
    ASSERT_TRUE(stack.ready()) << stack.problem();
    // Five connections that never start a handshake.
    std::vector<std::unique_ptr<SilentConnection>> silent;
    for (int i = 0; i < 5; ++i) {
        silent.push_back(std::make_unique<SilentConnection>(stack.daemonPort()));
        ASSERT_TRUE(silent.back()->connected());
    }

    // An application through the module: it logs in, draws random bytes,
    // checks its session and logs out (its "go" file is there from the
    // start). The module's own time-out (12 s) bounds every call: an
    // application that had to wait for the silent ones would fail.
    const std::string go = stack.file("go");
    std::ofstream(go).put('\n');
    const RunResult served =
        stack.run(test::BinDir() + "/e2e_holder_client", {stack.modulePath(), kUserPin, go});
    EXPECT_EQ(served.status, 0) << served.all() << stack.moduleLog();
    EXPECT_NE(served.out.find("holder passed"), std::string::npos) << served.out;
}

// Disabled until the module restores its sessions and login when it
// reconnects: the daemon clears the device when a client leaves, so handing
// an idle holder's device to a waiting client (ServerOptions::
// handOverGraceMs, now the silent limit) would end the holder's login.
TEST(Admission, DISABLED_ALongRunningApplicationSharesTheDeviceAndKeepsItsLogin) {
    CTokenStack stack(Link::Daemon);
    ASSERT_TRUE(stack.ready()) << stack.problem();
    const std::string go = stack.file("go");
    auto holder =
        stack.start(test::BinDir() + "/e2e_holder_client", {stack.modulePath(), kUserPin, go});
    ASSERT_TRUE(holder->waitForStdout("holder: ready\n")) << holder->out() << holder->err();

    // Other clients take their turns while the holder idles with its
    // logged-in session: the daemon ends the idle holder's connection for
    // them. (They are raw clients: an application's C_Finalize would today
    // close every session on the device, the holder's too.)
    for (int i = 0; i < 2; ++i) {
        test::TlsTestClient other;
        ASSERT_EQ(0, other.connect(stack.daemonPort(), stack.daemonCaFile()));
        ASSERT_EQ(0, other.sendFrame(0, test::TokenInfoRequest()));
        std::vector<unsigned char> answer;
        ASSERT_GT(other.readOnce(&answer), 0);
        unsigned rv = 1;
        std::string serial;
        EXPECT_TRUE(test::DecodeTokenInfo(answer, &rv, &serial));
        EXPECT_EQ(serial, stack.serial(0));
        other.closeNotify();
    }
    std::ofstream(go).put('\n');
    EXPECT_EQ(0, holder->waitExit(std::chrono::seconds(60)))
        << holder->out() << holder->err() << stack.moduleLog();
    EXPECT_NE(holder->out().find("holder passed"), std::string::npos) << holder->out();
}

// Waiting for a connection or a stop, the daemon sleeps: no periodic
// wake-ups (the old accept poll woke it about 470 times a second).
TEST(Admission, TheIdleDaemonSleeps) {
    CTokenStack stack(Link::Daemon);
    ASSERT_TRUE(stack.ready()) << stack.problem();
    const pid_t pid = stack.daemonPid();
    const long before = ContextSwitches(pid);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const long wakeUps = ContextSwitches(pid) - before;
    EXPECT_LT(wakeUps, 15) << "wake-ups in 3 s";
}

}  // namespace
}  // namespace vexa::e2e
