// Applications that share one device, as real processes with real clients:
// a login dies with the application that made it (even when it is killed),
// one application's C_Finalize leaves another's sessions alone, sessions
// left behind do not fill the token, and processes that use the device at
// once never see each other's answers. Directly over HID and through
// vexa-daemon.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "e2e/support/token_stack.h"

namespace vexa::e2e {
namespace {

std::string Client() {
    return test::BinDir() + "/e2e_shared_device_client";
}

std::string Diagnose(const CTokenStack& stack, const RunResult& result) {
    return result.all() + "\nmodule log:\n" + stack.moduleLog();
}

class SharedDevice : public ::testing::TestWithParam<Link> {};

TEST_P(SharedDevice, KilledApplicationsLoginAndSessionsDieWithIt) {
    CTokenStack stack(GetParam());
    ASSERT_TRUE(stack.ready()) << stack.problem();

    // 1. A logs in, makes a private key on the token and is killed.
    std::unique_ptr<test::ChildProcess> a =
        stack.start(Client(), {stack.modulePath(), "login-and-wait", "0"});
    ASSERT_TRUE(a->waitForStdout("key ")) << a->out() << a->err();
    const std::string out = a->out();
    const unsigned long key = std::strtoul(out.c_str() + out.find("key ") + 4, nullptr, 10);
    ASSERT_NE(key, 0ul) << out;
    ASSERT_EQ(::kill(a->pid(), SIGKILL), 0);
    ASSERT_EQ(a->waitExit(), -SIGKILL);

    // 2. B, without a PIN: a public session, no private object, and the dead
    //    application's key handle signs nothing.
    const RunResult probe =
        stack.run(Client(), {stack.modulePath(), "probe", "0", std::to_string(key)});
    ASSERT_EQ(probe.status, 0) << Diagnose(stack, probe);
    EXPECT_NE(probe.out.find("state=0 private=0 "), std::string::npos) << probe.out;
    EXPECT_EQ(probe.out.find("signinit=0x0 "), std::string::npos) << probe.out;
    EXPECT_EQ(probe.out.find("sign=0x0\n"), std::string::npos) << probe.out;

    // 3. A wrong PIN is refused as wrong (not "already logged in"), and the
    //    right one logs in and shows the key.
    if (!test::kToolCanLoadModule) {
        return;  // pkcs11-tool cannot load a module built with a sanitizer
    }
    const RunResult wrong = stack.pkcs11Tool({"--login", "--pin", "000000", "-O"});
    EXPECT_NE(wrong.status, 0) << wrong.all();
    EXPECT_NE(wrong.all().find("CKR_PIN_INCORRECT"), std::string::npos) << wrong.all();
    const RunResult right = stack.pkcs11Tool({"--login", "--pin", kUserPin, "-O"});
    EXPECT_EQ(right.status, 0) << Diagnose(stack, right);
    EXPECT_NE(right.out.find("Private Key Object; EC"), std::string::npos) << right.out;
}

TEST_P(SharedDevice, ApplicationsThatLeaveSessionsBehindDoNotFillTheToken) {
    CTokenStack stack(GetParam());
    ASSERT_TRUE(stack.ready()) << stack.problem();
    // Two sessions each, never closed: 80, more than the token's 64.
    for (int i = 0; i < 40; ++i) {
        const RunResult run = stack.run(Client(), {stack.modulePath(), "leave-sessions", "0"});
        ASSERT_EQ(run.status, 0) << "application " << i << ": " << Diagnose(stack, run);
    }
    const RunResult after = stack.run(Client(), {stack.modulePath(), "probe", "0", "1"});
    EXPECT_EQ(after.status, 0) << Diagnose(stack, after);
}

INSTANTIATE_TEST_SUITE_P(Links, SharedDevice, ::testing::Values(Link::Hid, Link::Daemon),
                         [](const auto& info) { return LinkName(info.param); });

// Clients of the stack's simulator directly over HID, each run in a
// directory of its own with its own "vexaconfig.json" (3-second time-out,
// log in "module.log" there, and `extra` members).
class LocalClients {
public:
    LocalClients(const CTokenStack& stack, const std::string& name, const std::string& extra = "")
        : stack_(stack), dir_(stack.file(name)) {
        ok_ = ::mkdir(dir_.c_str(), 0700) == 0;
        test::WriteFile(dir_ + "/vexaconfig.json",
                        R"({"logging": {"enabled": true, "loglevel": 40, "logfile": ")" + dir_ +
                            R"(/module.log"}, "timeout": 3000)" + extra + "}");
    }
    bool ok() const { return ok_; }
    std::string log() const { return ReadFile(dir_ + "/module.log"); }
    std::unique_ptr<test::ChildProcess> start(const std::vector<std::string>& args) const {
        return stack_.start("/bin/sh", command(args),
                            {{"VEXA_VIRTUAL_DEVICE", stack_.simSocket()}});
    }
    RunResult run(const std::vector<std::string>& args) const {
        return stack_.run("/bin/sh", command(args), {{"VEXA_VIRTUAL_DEVICE", stack_.simSocket()}});
    }

private:
    std::vector<std::string> command(const std::vector<std::string>& args) const {
        std::vector<std::string> all = {"-c", "cd \"$0\" && exec \"$@\"", dir_, Client(),
                                        stack_.modulePath()};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    const CTokenStack& stack_;
    std::string dir_;
    bool ok_ = false;
};

// While vexa-daemon serves a client it holds the device alone, and it never
// takes the device from local applications: each side waits for the other
// (with its time-out) and then fails clearly.
TEST(SharedDeviceWithDaemon, DaemonClientsAndLocalApplicationsTakeTurns) {
    CTokenStack stack(Link::Daemon);
    ASSERT_TRUE(stack.ready()) << stack.problem();
    const LocalClients local(stack, "local");
    ASSERT_TRUE(local.ok());

    // 1. A local signer holds the device: a daemon client is refused.
    const std::string stopFile = stack.file("stop-signing");
    std::unique_ptr<test::ChildProcess> signer = local.start({"signer", "0", stopFile});
    ASSERT_TRUE(signer->waitForStdout("ready\n")) << signer->out() << signer->err();
    const RunResult refused = stack.run(Client(), {stack.modulePath(), "probe", "0", "1"});
    EXPECT_NE(refused.status, 0) << refused.all();
    EXPECT_NE(stack.daemonErrors().find("Error opening port: Device in use by another process"),
              std::string::npos)
        << stack.daemonErrors();
    test::WriteFile(stopFile, "");
    EXPECT_EQ(signer->waitExit(), 0) << signer->out() << signer->err();

    // 2. A daemon client holds the device: a local application waits, then
    //    fails; once the client is gone, it finds the device clean.
    std::unique_ptr<test::ChildProcess> client =
        stack.start(Client(), {stack.modulePath(), "login-and-wait", "0"});
    ASSERT_TRUE(client->waitForStdout("key ")) << client->out() << client->err();
    const RunResult waited = local.run({"probe", "0", "1"});
    EXPECT_NE(waited.status, 0) << waited.all();
    EXPECT_NE(local.log().find("Device in use by another process"), std::string::npos);
    ASSERT_EQ(::kill(client->pid(), SIGKILL), 0);
    ASSERT_EQ(client->waitExit(), -SIGKILL);
    const RunResult clean = local.run({"probe", "0", "1"});
    EXPECT_EQ(clean.status, 0) << clean.all() << local.log();
    EXPECT_NE(clean.out.find("state=0 private=0 "), std::string::npos) << clean.out;
}

// How many times hosts have opened the stack's device behind slot 0, as
// vexa-sim counts them; -1 when it cannot tell.
long OpensOfDevice(const CTokenStack& stack) {
    const RunResult r =
        stack.run(test::BinDir() + "/vexa-sim",
                  {"--socket", stack.simSocket(), "--control", "opens " + stack.serial(0)});
    const size_t at = r.out.find("opened ");
    return r.status == 0 && at != std::string::npos ? std::atol(r.out.c_str() + at + 7) : -1;
}

// vexa-daemon keeps the device open and settled from one client to the
// next, yet lets local applications use it in between as if the daemon
// were not there: each finds itself the device's only user and clears what
// a killed one left. Whatever they leave is cleared before the next client.
TEST(SharedDeviceWithDaemon, TheDeviceStaysOpenBetweenClientsAndLeftoversAreCleared) {
    CTokenStack stack(Link::Daemon);
    ASSERT_TRUE(stack.ready()) << stack.problem();
    const LocalClients local(stack, "local");
    ASSERT_TRUE(local.ok());
    const long before = OpensOfDevice(stack);
    ASSERT_GE(before, 0);

    // 1. Two clients in a row: one opening.
    for (int i = 0; i < 2; ++i) {
        const RunResult client = stack.run(Client(), {stack.modulePath(), "probe", "0", "1"});
        ASSERT_EQ(client.status, 0) << Diagnose(stack, client) << stack.daemonErrors();
    }
    EXPECT_EQ(OpensOfDevice(stack), before + 1);

    // 2. A local application logs in, makes a key and is killed.
    std::unique_ptr<test::ChildProcess> killed = local.start({"login-and-wait", "0"});
    ASSERT_TRUE(killed->waitForStdout("key ")) << killed->out() << killed->err() << local.log();
    const std::string out = killed->out();
    const std::string key =
        std::to_string(std::strtoul(out.c_str() + out.find("key ") + 4, nullptr, 10));
    ASSERT_EQ(::kill(killed->pid(), SIGKILL), 0);
    ASSERT_EQ(killed->waitExit(), -SIGKILL);

    // 3. The next local application, and the next client after it, find
    //    neither its login nor a key handle that signs.
    const RunResult next = local.run({"probe", "0", key});
    const RunResult client = stack.run(Client(), {stack.modulePath(), "probe", "0", key});
    for (const RunResult* probe : {&next, &client}) {
        ASSERT_EQ(probe->status, 0) << probe->all() << local.log() << stack.daemonErrors();
        EXPECT_NE(probe->out.find("state=0 private=0 "), std::string::npos) << probe->out;
        EXPECT_EQ(probe->out.find("signinit=0x0 "), std::string::npos) << probe->out;
    }
    // The daemon's device was still the one it kept open; the local
    // applications opened their own.
    EXPECT_EQ(OpensOfDevice(stack), before + 3);
}

// A device that vanished between clients (unplugged, simulator restarted)
// is opened afresh for the next client.
TEST(SharedDeviceWithDaemon, ADeviceThatVanishedBetweenClientsIsOpenedAgain) {
    CTokenStack stack(Link::Daemon);
    ASSERT_TRUE(stack.ready()) << stack.problem();
    const RunResult first = stack.run(Client(), {stack.modulePath(), "probe", "0", "1"});
    ASSERT_EQ(first.status, 0) << Diagnose(stack, first) << stack.daemonErrors();
    const long before = OpensOfDevice(stack);
    const RunResult vanish =
        stack.run(test::BinDir() + "/vexa-sim",
                  {"--socket", stack.simSocket(), "--control", "vanish " + stack.serial(0) + " 0"});
    ASSERT_EQ(vanish.status, 0) << vanish.all();
    const RunResult second = stack.run(Client(), {stack.modulePath(), "probe", "0", "1"});
    EXPECT_EQ(second.status, 0) << Diagnose(stack, second) << stack.daemonErrors();
    EXPECT_EQ(OpensOfDevice(stack), before + 1);
}

// "exclusive": an application that does not share its login holds the
// device alone while it has it open.
TEST(SharedDeviceOverHid, AnExclusiveApplicationSharesNeitherDeviceNorLogin) {
    CTokenStack stack(Link::Hid);
    ASSERT_TRUE(stack.ready()) << stack.problem();
    const LocalClients exclusive(stack, "exclusive", R"(, "exclusive": true)");
    const LocalClients other(stack, "other");
    ASSERT_TRUE(exclusive.ok() && other.ok());

    std::unique_ptr<test::ChildProcess> holder = exclusive.start({"login-and-wait", "0"});
    ASSERT_TRUE(holder->waitForStdout("key ")) << holder->out() << holder->err() << exclusive.log();
    const RunResult waited = other.run({"probe", "0", "1"});
    EXPECT_NE(waited.status, 0) << waited.all();
    EXPECT_NE(other.log().find("Device in use by another process"), std::string::npos);
    ASSERT_EQ(::kill(holder->pid(), SIGKILL), 0);
    ASSERT_EQ(holder->waitExit(), -SIGKILL);
    const RunResult after = other.run({"probe", "0", "1"});
    EXPECT_EQ(after.status, 0) << after.all() << other.log();
    EXPECT_NE(after.out.find("state=0 private=0 "), std::string::npos) << after.out;
}

// Over HID several applications use one device at the same time.
TEST(SharedDeviceOverHid, SignerKeepsSigningWhileOtherApplicationsComeAndGo) {
    CTokenStack stack(Link::Hid);
    ASSERT_TRUE(stack.ready()) << stack.problem();
    const std::string stopFile = stack.file("stop-signing");
    std::unique_ptr<test::ChildProcess> signer =
        stack.start(Client(), {stack.modulePath(), "signer", "0", stopFile});
    ASSERT_TRUE(signer->waitForStdout("ready\n")) << signer->out() << signer->err();

    // Each of these ends with C_Finalize, which must close its own sessions
    // only.
    for (int round = 0; round < 3; ++round) {
        const RunResult ours = stack.run(Client(), {stack.modulePath(), "hammer", "0", "20"});
        EXPECT_EQ(ours.status, 0) << Diagnose(stack, ours);
        if (test::kToolCanLoadModule) {
            const RunResult list = stack.pkcs11Tool({"-L"});
            EXPECT_EQ(list.status, 0) << Diagnose(stack, list);
            const RunResult objects = stack.pkcs11Tool({"-O"});
            EXPECT_EQ(objects.status, 0) << Diagnose(stack, objects);
        }
    }
    test::WriteFile(stopFile, "");
    EXPECT_EQ(signer->waitExit(), 0) << signer->out() << signer->err() << stack.moduleLog();
    EXPECT_NE(signer->out().find(" failed 0\n"), std::string::npos) << signer->out();
}

// Over HID in each framing.
class OneDeviceOverHid : public ::testing::TestWithParam<const char*> {};

TEST_P(OneDeviceOverHid, TwoProcessesOnOneDeviceGetTheirOwnAnswers) {
    CTokenStack stack(Link::Hid, {"--framing", GetParam()});
    ASSERT_TRUE(stack.ready()) << stack.problem();
    std::unique_ptr<test::ChildProcess> first =
        stack.start(Client(), {stack.modulePath(), "hammer", "0", "300"});
    std::unique_ptr<test::ChildProcess> second =
        stack.start(Client(), {stack.modulePath(), "hammer", "0", "300"});
    EXPECT_EQ(first->waitExit(std::chrono::seconds(120)), 0) << first->out() << first->err();
    EXPECT_EQ(second->waitExit(std::chrono::seconds(120)), 0) << second->out() << second->err();
    EXPECT_NE(first->out().find("hammer ok 300"), std::string::npos) << stack.moduleLog();
    EXPECT_NE(second->out().find("hammer ok 300"), std::string::npos) << stack.moduleLog();
}

// The HID link recovers without C_Finalize and C_Initialize.
TEST_P(OneDeviceOverHid, ALateAnswerIsNeverTakenForTheNextCall) {
    CTokenStack stack(Link::Hid, {"--framing", GetParam()});
    ASSERT_TRUE(stack.ready()) << stack.problem();
    const RunResult run =
        stack.run(Client(), {stack.modulePath(), "late-answer", "0", test::BinDir() + "/vexa-sim"});
    EXPECT_EQ(run.status, 0) << Diagnose(stack, run);
    EXPECT_NE(run.out.find("late call rv=0x6\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("late answer ok"), std::string::npos) << run.out;
}

TEST_P(OneDeviceOverHid, AnUnpluggedDeviceIsOpenedAgainWhenItComesBack) {
    CTokenStack stack(Link::Hid, {"--framing", GetParam()});
    ASSERT_TRUE(stack.ready()) << stack.problem();
    const RunResult run =
        stack.run(Client(), {stack.modulePath(), "replug", "0", test::BinDir() + "/vexa-sim"});
    EXPECT_EQ(run.status, 0) << Diagnose(stack, run);
    EXPECT_NE(run.out.find("replug ok"), std::string::npos) << run.out;
}

INSTANTIATE_TEST_SUITE_P(Framings, OneDeviceOverHid, ::testing::Values("u2f", "plain"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace vexa::e2e
