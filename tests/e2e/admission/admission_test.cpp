// Nobody keeps the device through the daemon: connections that never
// finish (or never start) their handshake and a long-running application
// that holds a logged-in session do not keep other applications out, and
// the long-running one keeps its session and login. The idle daemon sleeps.
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
#include "integration/pkcs11/module_under_test.h"

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

// A long-running application idles with a logged-in session while other
// applications use the device: the daemon hands the device over after its
// short grace and clears it, and the holder's next calls find their session
// and login again (the module opened the session again and logged in again
// on its new connection) without a second C_Login. The others never see the
// holder's login: its private object stays hidden from them.
TEST(Admission, ALongRunningApplicationSharesTheDeviceAndKeepsItsLogin) {
    if (!test::kToolCanLoadModule) {
        GTEST_SKIP() << "pkcs11-tool cannot load a module built with a sanitizer";
    }
    CTokenStack stack(Link::Daemon);
    ASSERT_TRUE(stack.ready()) << stack.problem();
    const std::string go = stack.file("go");
    auto holder =
        stack.start(test::BinDir() + "/e2e_holder_client", {stack.modulePath(), kUserPin, go});
    ASSERT_TRUE(holder->waitForStdout("holder: ready\n")) << holder->out() << holder->err();

    // Each is served within the module's own time-out (12 s) while the
    // holder keeps its connection idle: the daemon ends it for them.
    const RunResult listed = stack.pkcs11Tool({"--list-slots"});
    EXPECT_EQ(listed.status, 0) << listed.all() << stack.moduleLog();
    EXPECT_NE(listed.out.find("serial num         : " + stack.serial(0)), std::string::npos)
        << listed.out;
    const RunResult objects = stack.pkcs11Tool({"--list-objects"});
    EXPECT_EQ(objects.status, 0) << objects.all() << stack.moduleLog();
    EXPECT_EQ(objects.out.find("holder secret"), std::string::npos) << objects.out;
    const RunResult again = stack.pkcs11Tool({"--list-token-slots"});
    EXPECT_EQ(again.status, 0) << again.all() << stack.moduleLog();

    std::ofstream(go).put('\n');
    EXPECT_EQ(0, holder->waitExit(std::chrono::seconds(60)))
        << holder->out() << holder->err() << stack.moduleLog();
    EXPECT_NE(holder->out().find("holder: private value \"kept behind the login\""),
              std::string::npos)
        << holder->out();
    EXPECT_NE(holder->out().find("holder passed"), std::string::npos) << holder->out();
    EXPECT_EQ(CountOf(holder->out(), "C_Login"), 1u) << holder->out();
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
