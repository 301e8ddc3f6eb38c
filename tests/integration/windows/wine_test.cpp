// The Windows build run under Wine against this machine's programs: the
// module DLL loaded by a Windows application and talking to vexa-sim over
// TCP; vexa-daemon.exe in the console relaying for this build's module (a
// real PKCS#11 client, pkcs11-tool); the DLL through this build's
// vexa-daemon; and vexa-daemon.exe's service commands against Wine's
// service manager, whose codes (1060, 1073, 1056, 1062, 1063) are the
// system's own.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "integration/tls/test_env.h"
#include "platform/socket.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vexa::test {
namespace {

const std::string kWindowsBin = VEXA_WINDOWS_BIN_DIR;
const std::string kSerial = "564558410001";

std::map<std::string, std::string> wineEnvironment(std::map<std::string, std::string> env = {}) {
    env["WINEPREFIX"] = VEXA_WINEPREFIX;
    env["WINEDEBUG"] = "-all";
    return env;
}

// A path of this machine as a Windows program under Wine sees it (drive Z:
// is the root directory).
std::string windowsPath(const std::string& path) {
    std::string result = "Z:" + path;
    for (char& c : result) {
        if (c == '/') {
            c = '\\';
        }
    }
    return result;
}

// A JSON string value holding text (backslashes escaped).
std::string jsonString(const std::string& text) {
    std::string result = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            result.push_back('\\');
        }
        result.push_back(c);
    }
    return result + "\"";
}

struct WineRun {
    int status = -1000;
    std::string out;
    std::string err;
};

// Runs a Windows program under Wine to its end.
WineRun runWindows(const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env, const std::string& cwd) {
    ChildProcess child(VEXA_WINE_RUN, args, wineEnvironment(env), cwd);
    WineRun run;
    run.status = child.waitExit(std::chrono::minutes(2)).value_or(-1000);
    run.out = child.out();
    run.err = child.err();
    return run;
}

// Waits until something accepts connections on 127.0.0.1:port, while
// process (when given) still runs.
bool waitForListener(int port, ChildProcess* process) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < deadline) {
        const platform::SocketHandle probe =
            platform::connectTcp("127.0.0.1", std::to_string(port));
        if (probe != platform::kNoSocket) {
            platform::closeSocket(probe);
            return true;
        }
        if (process != nullptr && process->waitExit(std::chrono::milliseconds(100))) {
            return false;
        }
        if (process == nullptr) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    return false;
}

class WindowsUnderWine : public ::testing::Test {
protected:
    void SetUp() override {
        sim_ = std::make_unique<ChildProcess>(
            BinDir() + "/vexa-sim",
            std::vector<std::string>{"--listen", "127.0.0.1:0", "--settle-ms", "20"});
        ASSERT_TRUE(sim_->waitForStdout("vexa-sim: ready")) << sim_->out() << sim_->err();
        const std::string out = sim_->out();
        const size_t at = out.find("listening on tcp:");
        ASSERT_NE(at, std::string::npos) << out;
        const size_t start = at + std::string("listening on ").size();
        simAddress_ = out.substr(start, out.find('\n', start) - start);
        pki_ = GeneratePki(dir_.path());
        ASSERT_FALSE(pki_.caCert.empty());
    }

    // A vexaconfig.json in dir that names the daemon at port.
    void writeModuleConfig(const std::string& dir, int port, const std::string& caBundle) {
        WriteFile(dir + "/vexaconfig.json", R"({"transport": {"address": "localhost", "port": )" +
                                                std::to_string(port) + R"(, "cacertbundle": )" +
                                                jsonString(caBundle) + "}}");
    }

    WineRun runModuleClient(const std::map<std::string, std::string>& env, const std::string& cwd) {
        return runWindows({kWindowsBin + "/windows_module_client.exe",
                           windowsPath(kWindowsBin + "/vexa-pkcs11.dll")},
                          env, cwd);
    }

    TempDir dir_;
    TestPki pki_;
    std::unique_ptr<ChildProcess> sim_;
    std::string simAddress_;
};

TEST_F(WindowsUnderWine, ModuleDllTalksToTheSimulatorOverTcp) {
    const WineRun run = runModuleClient({{"VEXA_VIRTUAL_DEVICE", simAddress_}}, dir_.path());
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("ok: the DLL exports 68 names"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("ok: every function of the list is exported under its name"),
              std::string::npos);
    EXPECT_NE(run.out.find("token: label \"Vexa Token\", serial \"" + kSerial + "\""),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("module client passed"), std::string::npos) << run.out;
}

TEST_F(WindowsUnderWine, DaemonExePrintsItsUsageWithoutAConfiguration) {
    const WineRun run = runWindows({kWindowsBin + "/vexa-daemon.exe"}, {}, dir_.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("Failed to find config file.\r\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("usage: vexa-daemon [stop|start|restart|uninstall] -d <device SN>"),
              std::string::npos)
        << run.out;
}

TEST_F(WindowsUnderWine, DaemonExeRelaysForThisMachinesModule) {
    const int port = FreeLoopbackPort();
    ChildProcess daemon(VEXA_WINE_RUN,
                        {kWindowsBin + "/vexa-daemon.exe", "-d", kSerial, "-p",
                         std::to_string(port), "-i", "127.0.0.1", "-ca", windowsPath(pki_.caCert),
                         "-crt", windowsPath(pki_.serverCert), "-key", windowsPath(pki_.serverKey)},
                        wineEnvironment({{"VEXA_VIRTUAL_DEVICE", simAddress_}}), dir_.path());
    ASSERT_TRUE(waitForListener(port, &daemon)) << daemon.out() << daemon.err();

    writeModuleConfig(dir_.path(), port, pki_.caCert);
    ChildProcess tool("/usr/bin/pkcs11-tool",
                      {"--module", BinDir() + "/libvexa-pkcs11.so", "--list-token-slots"}, {},
                      dir_.path());
    EXPECT_EQ(tool.waitExit(std::chrono::minutes(2)), std::optional<int>(0))
        << tool.out() << tool.err();
    EXPECT_NE(tool.out().find("Vexa Token"), std::string::npos) << tool.out();
    EXPECT_NE(tool.out().find(kSerial), std::string::npos) << tool.out();
    EXPECT_NE(daemon.out().find("vexa-daemon V1.6 starting.\r\n"), std::string::npos)
        << daemon.out();
}

TEST_F(WindowsUnderWine, ModuleDllWorksThroughThisMachinesDaemon) {
    const int port = FreeLoopbackPort();
    ChildProcess daemon(BinDir() + "/vexa-daemon",
                        {"-d", kSerial, "-p", std::to_string(port), "-i", "127.0.0.1", "-ca",
                         pki_.caCert, "-crt", pki_.serverCert, "-key", pki_.serverKey},
                        {{"VEXA_VIRTUAL_DEVICE", simAddress_}}, dir_.path());
    ASSERT_TRUE(waitForListener(port, &daemon)) << daemon.out() << daemon.err();

    // The DLL reads vexaconfig.json from its working directory, with a
    // Windows path to the CA.
    writeModuleConfig(dir_.path(), port, windowsPath(pki_.caCert));
    const WineRun run = runModuleClient({{"VEXA_VIRTUAL_DEVICE", ""}}, dir_.path());
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("module client passed"), std::string::npos) << run.out;
}

// vexa-daemon.exe, its configuration and the PKI in a directory of their
// own: the service reads "vexa-daemon.json" beside its executable.
//
// The Wine server is made persistent first: when it ends (a few seconds
// after its last program), the next program boots the prefix again, and
// its service manager starts the installed service by itself, as Windows
// does at boot with an automatic service. scripts/windows-build.sh ends
// the server after the tests.
class WindowsService : public WindowsUnderWine {
protected:
    void SetUp() override {
        ChildProcess server(VEXA_WINESERVER, {"-p"}, wineEnvironment());
        server.waitExit();  // fails harmlessly when a server runs already
        WindowsUnderWine::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        serviceDir_ = dir_.file("service");
        std::filesystem::create_directories(serviceDir_);
        std::filesystem::copy_file(kWindowsBin + "/vexa-daemon.exe",
                                   serviceDir_ + "/vexa-daemon.exe");
        port_ = FreeLoopbackPort();
        WriteFile(serviceDir_ + "/vexa-daemon.json",
                  "{\"device\": \"" + kSerial + "\", \"port\": \"" + std::to_string(port_) +
                      "\", \"bindaddress\": \"127.0.0.1\", \"cafile\": " +
                      jsonString(windowsPath(pki_.caCert)) +
                      ", \"certfile\": " + jsonString(windowsPath(pki_.serverCert)) +
                      ", \"keyfile\": " + jsonString(windowsPath(pki_.serverKey)) + "}");
        // A service left by an earlier run that failed half-way goes first.
        stopUntilStopped();
        command("uninstall");
    }
    void TearDown() override {
        stopUntilStopped();
        command("uninstall");
    }

    WineRun command(const std::string& word) {
        return runWindows({serviceDir_ + "/vexa-daemon.exe", word}, {}, serviceDir_);
    }

    // Sends stop until the manager answers that the service is not running
    // (a stop in progress answers 1061 meanwhile), or that there is none.
    WineRun stopUntilStopped() {
        WineRun run;
        for (int attempt = 0; attempt < 100; ++attempt) {
            run = command("stop");
            if (run.err.find("(1062)") != std::string::npos ||
                run.err.find("(1060)") != std::string::npos) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return run;
    }

    std::string serviceDir_;
    int port_ = 0;
};

TEST_F(WindowsService, CommandsGetTheServiceManagersOwnCodes) {
    // 1. A console run of "service": the dispatcher refuses with 1063.
    WineRun run = command("service");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("ERROR: Failed to run service, 0x00000427\n\r\n"), std::string::npos)
        << run.err;

    // 2. Install, and install again: 1073.
    run = command("install");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "Service installed successfully\r\n");
    run = command("install");
    EXPECT_EQ(run.err, "ERROR: CreateService failed (1073)\r\n");

    // 3. Start: the service runs the server from the file beside it; a
    //    second start: 1056.
    run = command("start");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "Service started.\r\n");
    EXPECT_TRUE(waitForListener(port_, nullptr)) << "the service's server listens";
    run = command("start");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: StartService failed (1056)\r\n");

    // 4. Stop, then stop a stopped service: 1062.
    run = command("stop");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "Service stopped.\r\n");
    run = stopUntilStopped();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: ControlService failed (1062)\r\n");

    // 5. Restart of a stopped service: the stop's failure is printed, the
    //    start decides.
    run = command("restart");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "ERROR: ControlService failed (1062)\r\n");
    EXPECT_EQ(run.out, "Service started.\r\n");
    EXPECT_TRUE(waitForListener(port_, nullptr));
    EXPECT_EQ(command("stop").status, 0);
    stopUntilStopped();

    // 6. Uninstall, then the service is gone: 1060 for uninstall and stop.
    run = command("uninstall");
    EXPECT_EQ(run.out, "Service deleted successfully\r\nService uninstalled.\r\n");
    run = command("uninstall");
    EXPECT_EQ(run.err, "ERROR: OpenService failed (1060)\n\r\n");
    EXPECT_EQ(run.out, "Service uninstalled.\r\n");
    run = command("stop");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: OpenService failed (1060)\r\n");
}

}  // namespace
}  // namespace vexa::test
