// Runs the real vexa-daemon binary and checks its exact output and exit
// status. No test writes a configuration file beside the built programs: the
// "beside the executable" cases run a copy of the binary from a temporary
// directory.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kUsage =
    "vexa-daemon V1.6\n"
    "usage: vexa-daemon [stop|start|restart|uninstall] -d <device SN> [install] [-p <port>] "
    "[-i <bind address>] [-key <key file>] [-crt <crt file>] [-ca <ca file>] "
    "[-clientca <client ca file>]\n"
    "\tUse the VEXA_KEY_PASS environment variable to specify the key file password if "
    "required.\n";
const std::string kNotFound = "Failed to find config file.\r\n";
const std::string kNotLoaded = "ERROR: Failed to load config file.\r\n";
// The server's first line; its absence means this build has no server yet.
const std::string kServerStarting = "vexa-daemon V1.6 starting.\r\n";

using vexa::test::BaseEnvironment;
using vexa::test::ChildProcess;
using Result = vexa::test::CommandResult;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class DaemonCli : public ::testing::Test {
protected:
    void SetUp() override {
        const char* binDir = getenv("VEXA_BIN_DIR");
        ASSERT_NE(binDir, nullptr) << "VEXA_BIN_DIR names the built programs";
        daemon = std::string(binDir) + "/vexa-daemon";
        ASSERT_TRUE(fs::exists(daemon)) << daemon;
        root = rootDir.path();
        work = root + "/work";
        fs::create_directories(work);
    }

    // The daemon (or program) in work, with nothing of the test runner's
    // environment but PATH: no VEXA_ variable reaches it.
    Result run(const std::vector<std::string>& args, const std::string& program = "") {
        return vexa::test::RunCommand(program.empty() ? daemon : program, args, {}, work, 120s,
                                      BaseEnvironment::Minimal);
    }

    static void writeFile(const std::string& path, const std::string& content) {
        std::ofstream(path) << content;
    }

    // A copy of the daemon in its own directory, for configuration files
    // placed beside the executable.
    std::string copyOfDaemon() {
        const std::string dir = root + "/bin";
        fs::create_directories(dir);
        const std::string copy = dir + "/vexa-daemon";
        fs::copy_file(daemon, copy);
        fs::permissions(copy, fs::perms::owner_all);
        return copy;
    }

    vexa::test::TempDir rootDir{"vexa-daemon-cli"};
    std::string daemon, root, work;
};

}  // namespace

TEST_F(DaemonCli, WithoutConfigurationOrDeviceOptionPrintsTheUsage) {
    // "install" and "service" need the settings first, so they end the same way.
    const std::vector<std::vector<std::string>> argLists = {
        {}, {"install"}, {"-p", "5000", "service"}, {"-D", "SN"}, {"-dSN"}};
    for (const auto& args : argLists) {
        const Result r = run(args);
        EXPECT_EQ(r.out, kNotFound + kUsage) << ::testing::PrintToString(args);
        EXPECT_EQ(r.err, "") << ::testing::PrintToString(args);
        EXPECT_EQ(r.status, 1) << ::testing::PrintToString(args);
    }
}

TEST_F(DaemonCli, UnusableConfigurationPrintsTheUsage) {
    const char* contents[] = {"",      "{\"port\": ", "not json", "[\"port\", \"5000\"]",
                              "\"x\"", "5000"};
    for (const char* content : contents) {
        writeFile(work + "/vexa-daemon.json", content);
        const Result r = run({});
        EXPECT_EQ(r.out, kUsage) << content;
        EXPECT_EQ(r.err, kNotLoaded) << content;
        EXPECT_EQ(r.status, 1) << content;
    }
}

TEST_F(DaemonCli, DeviceOptionGoesOnWithoutAConfiguration) {
    // "-d" is enough even as the last argument without a value. The console
    // run then fails (no certificates here) and ends with status 1.
    const std::vector<std::vector<std::string>> argLists = {
        {"-d"}, {"-d", "SN"}, {"-p", "1", "-d"}};
    for (const auto& args : argLists) {
        const Result r = run(args);
        EXPECT_EQ(r.out.rfind(kNotFound, 0), 0u) << ::testing::PrintToString(args) << r.out;
        EXPECT_FALSE(contains(r.out, "usage:")) << r.out;
        EXPECT_FALSE(r.err.empty()) << "a failed run says why";
        EXPECT_EQ(r.status, 1);
    }

    writeFile(work + "/vexa-daemon.json", "[1]");
    const Result r = run({"-d", "SN"});
    EXPECT_EQ(r.err.rfind(kNotLoaded, 0), 0u) << r.err;
    EXPECT_FALSE(contains(r.out, "usage:")) << r.out;
    EXPECT_EQ(r.status, 1);
}

TEST_F(DaemonCli, ConfigurationInTheWorkingDirectoryWinsOverTheOneBesideTheExecutable) {
    const std::string copy = copyOfDaemon();
    writeFile(root + "/bin/vexa-daemon.json", "[\"beside the executable\"]");

    // Only the file beside the executable: it is read (and rejected).
    Result r = run({}, copy);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, kNotLoaded);
    EXPECT_EQ(r.status, 1);

    // A usable file in the working directory is read instead.
    writeFile(work + "/vexa-daemon.json", R"({"bindaddress": "127.0.0.1", "port": "1"})");
    r = run({}, copy);
    EXPECT_FALSE(contains(r.out, "Failed to find config file.")) << r.out;
    EXPECT_FALSE(contains(r.out, "usage:")) << r.out;
    EXPECT_FALSE(contains(r.err, "Failed to load config file.")) << r.err;
    EXPECT_EQ(r.status, 1) << "the console run fails without certificates";
}

// The settings as the server sees them: device from the command line over
// the file, certificate path relative to the configuration directory.
TEST_F(DaemonCli, SettingsReachTheServer) {
    fs::create_directories(work + "/certs");
    writeFile(work + "/vexa-daemon.json",
              R"({"device": "FILESN", "certfile": "certs/server.pem", "port": 5000,
                  "bindaddress": "127.0.0.1"})");
    const Result r = run({"-d", "CLISN"});
    if (!contains(r.out, kServerStarting)) {
        GTEST_SKIP() << "this build has no TLS server yet: " << r.err;
    }
    EXPECT_EQ(r.out.rfind(kServerStarting, 0), 0u) << r.out;
    EXPECT_TRUE(contains(r.out, "Device SN: CLISN\r\n")) << r.out;
    EXPECT_TRUE(contains(
        r.err, "ERROR: Failed to open cert file " + work + "/certs/server.pem: -15872\r\n"))
        << r.err;
    EXPECT_EQ(r.status, 1) << "a failed console run ends with 1, not the library code";
}

// A port given as a JSON number is ignored: the server binds "4443".
TEST_F(DaemonCli, NumericPortInTheFileIsRead) {
    const Result openssl =
        run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
             "-keyout", "key.pem", "-out", "server.pem", "-subj", "/CN=localhost", "-days", "1"},
            "/usr/bin/openssl");
    ASSERT_EQ(openssl.status, 0) << openssl.err;
    fs::copy_file(work + "/server.pem", work + "/ca.pem");
    writeFile(work + "/vexa-daemon.json", R"({"port": 5000, "bindaddress": "127.0.0.1"})");
    fs::permissions(work + "/vexa-daemon.json", fs::perms::owner_read | fs::perms::owner_write);

    ChildProcess child(daemon, {}, {}, work, BaseEnvironment::Minimal);
    // The whole "Binding on" line is the readiness signal.
    const bool binding = child.waitForStdoutWhere(
        [](const std::string& out) {
            const size_t at = out.find("Binding on ");
            return at != std::string::npos && out.find("\r\n", at) != std::string::npos;
        },
        120s);
    if (!contains(child.out(), kServerStarting)) {
        GTEST_SKIP() << "this build has no TLS server yet";
    }
    ASSERT_TRUE(binding) << child.out() << child.err();
    EXPECT_TRUE(contains(child.out(), "Binding on 127.0.0.1:5000\r\n")) << child.out();
    // The child, listening or not, is killed when it goes out of scope.
}

// A port the bind call would take as a service name or wrap around to
// another port is refused before anything is loaded or bound.
TEST_F(DaemonCli, PortsOutsideOneTo65535AreRefused) {
    for (const std::string port : {"99999", "0", "-1", "https", "44 3"}) {
        const Result r = run({"-d", "SN", "-p", port, "-i", "127.0.0.1"});
        EXPECT_EQ(r.status, 1) << port;
        EXPECT_TRUE(contains(r.err, "ERROR: Invalid port \"" + port +
                                        "\": the port must be a number from 1 to 65535.\r\n"))
            << r.err;
        EXPECT_FALSE(contains(r.out, "Binding on")) << r.out;
    }
}

// A "vexa-daemon.json" in the working directory that others may change
// names the key, the certificates and who may connect: it is passed over.
TEST_F(DaemonCli, AWorkingDirectoryFileOthersMayWriteIsNotUsed) {
    writeFile(work + "/vexa-daemon.json", R"({"device": "PLANTED"})");
    fs::permissions(work + "/vexa-daemon.json", fs::perms::others_write, fs::perm_options::add);
    const Result r = run({"-p", "99999"});
    EXPECT_TRUE(contains(r.err,
                         "ERROR: Warning, vexa-daemon.json in the working directory is not "
                         "used: it may be written by other users.\r\n"))
        << r.err;
    EXPECT_FALSE(contains(r.out, "PLANTED")) << r.out;
}
