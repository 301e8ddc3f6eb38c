#include <gtest/gtest.h>

#include <stdlib.h>
#include <climits>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "config/module_config.h"
#include "platform/platform.h"
#include "support/temp_dir.h"
#include "unit/log/log_line.h"

using talvoranth::CLogger;
using talvoranth::ModuleConfig;

namespace {

constexpr char kSeparator = vexa::platform::kDirectorySeparator;

// Records every line that passes the threshold, whatever the console flag.
class RecordingLogger : public CLogger {
public:
    RecordingLogger() : CLogger(&consoleOut) {}
    using CLogger::log;
    void log(int level, const std::string& text) override {
        if (level >= threshold()) {
            lines.push_back(std::to_string(level) + " " + text);
        }
        CLogger::log(level, text);
    }
    std::ostringstream consoleOut;
    std::vector<std::string> lines;
};

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path) << content;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// A fresh working directory and HOME/USERPROFILE under one temporary
// directory, restored afterwards.
class ConfigFixture : public ::testing::Test {
protected:
    void SetUp() override {
        work = root + "/work";
        std::filesystem::create_directories(work);
        savedCwd = std::filesystem::current_path();
        std::filesystem::current_path(work);
        for (const char* name : {"HOME", "USERPROFILE"}) {
            const char* value = getenv(name);
            savedEnv.push_back(value ? std::optional<std::string>(value) : std::nullopt);
        }
        vexa::platform::unsetEnvironment("USERPROFILE");
        vexa::platform::setEnvironment("HOME", (root + "/home").c_str());
    }
    void TearDown() override {
        std::filesystem::current_path(savedCwd);
        const char* names[] = {"HOME", "USERPROFILE"};
        for (size_t i = 0; i < 2; ++i) {
            if (savedEnv[i]) {
                vexa::platform::setEnvironment(names[i], savedEnv[i]->c_str());
            } else {
                vexa::platform::unsetEnvironment(names[i]);
            }
        }
    }

    // Loads `json` from a file; the log starts at `threshold`.
    void load(const std::string& json, int threshold = talvoranth::LOG_TRACE) {
        const std::string path = root + "/case.json";
        writeFile(path, json);
        log.setThreshold(threshold);
        talvoranth::loadModuleConfigFile(log, config, path);
    }

    vexa::test::TempDir temp{"vexa-config"};  // removed after the log has closed its file
    std::string root = temp.path();
    std::string work;
    std::filesystem::path savedCwd;
    std::vector<std::optional<std::string>> savedEnv;
    RecordingLogger log;
    ModuleConfig config;
};

const std::vector<std::string> kParseFailure = {"40 Failed to parse config"};

}  // namespace

TEST_F(ConfigFixture, DefaultsWithoutAFile) {
    log.setThreshold(talvoranth::LOG_TRACE);
    talvoranth::loadModuleConfigFile(log, config, root + "/absent.json");
    EXPECT_EQ(log.lines, std::vector<std::string>{"30 Config file not found."});
    EXPECT_EQ(config.vendorId, 0x0483);
    EXPECT_EQ(config.productId, 0xA2AC);
    EXPECT_EQ(config.usagePage, 0);
    EXPECT_FALSE(config.ipTransport);
    EXPECT_FALSE(config.hasPort);
    EXPECT_EQ(config.timeoutMs, 12000);
    EXPECT_EQ(config.keyTimeoutMs, 65000);
}

TEST_F(ConfigFixture, MissingFileIsSilentAtTheDefaultThreshold) {
    talvoranth::loadModuleConfigFile(log, config, root + "/absent.json");
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(log.threshold(), 50);
}

// The logging keys: the resulting threshold and console flag.
TEST_F(ConfigFixture, LoggingKeys) {
    struct Case {
        const char* json;
        int threshold;
        bool console;
    };
    const Case cases[] = {
        {R"({"logging": {"enabled": false, "loglevel": 10, "logconsole": true}})", 1050, false},
        {R"({"logging": {"enabled": "no", "loglevel": 20}})", 20, false},
        {R"({"logging": {"enabled": true, "loglevel": 30.9, "logconsole": true}})", 30, true},
        {R"({"logging": {"loglevel": "10", "logconsole": 1}})", 50, false},
        {R"({"logging": {"loglevel": -5}})", -5, false},
        {R"({"logging": {"logconsole": "true"}})", 50, false},
        {R"({"logging": [1, 2], "timeout": 7})", 50, false},
        {R"({"logging": {}})", 50, false},
    };
    for (const Case& c : cases) {
        RecordingLogger fresh;
        ModuleConfig cfg;
        const std::string path = root + "/logging.json";
        writeFile(path, c.json);
        talvoranth::loadModuleConfigFile(fresh, cfg, path);
        EXPECT_EQ(fresh.threshold(), c.threshold) << c.json;
        EXPECT_EQ(fresh.console(), c.console) << c.json;
    }
}

TEST_F(ConfigFixture, LoggingOffWritesNothingAtAll) {
    load(R"({"logging": {"enabled": false, "loglevel": 10},
             "transport": {"address": "h", "port": 1, "cacertbundle": "ca.pem"}})");
    EXPECT_TRUE(config.ipTransport);
    log.log(talvoranth::LOG_ERROR, "an error");
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(ConfigFixture, IpTransportNeedsAStringAddressANumberPortAndACaBundle) {
    load(R"({"transport": {"address": "daemon.example", "port": 4443,
                           "cacertbundle": "/etc/vexa/ca.pem", "udp": true},
             "timeout": 5000, "keytimeout": 90000.5})");
    EXPECT_EQ(log.lines, std::vector<std::string>{"30 Connecting to IP transport."});
    EXPECT_TRUE(config.ipTransport);
    EXPECT_EQ(config.address, "daemon.example");
    EXPECT_TRUE(config.hasPort);
    EXPECT_EQ(config.port, 4443);
    EXPECT_EQ(config.caBundle, "/etc/vexa/ca.pem");
    EXPECT_EQ(config.timeoutMs, 5000);
    EXPECT_EQ(config.keyTimeoutMs, 90000);
}

// A "transport" that names a daemon but cannot be used as written is a
// fault the user sees on standard error, and the module offers no device
// rather than falling back to USB HID (where a PIN meant for the daemon would
// go to whatever device is plugged in).
TEST_F(ConfigFixture, AnUnusableDaemonSectionIsReportedAndNeverBecomesHid) {
    struct Case {
        const char* json;
        const char* reason;
    };
    const Case cases[] = {
        {R"({"port": "4443", "cacertbundle": "ca.pem"})", "\"port\" must be a number"},
        {R"({"port": 4443})", "\"cacertbundle\" must name the CA file"},
        {R"({"address": 5, "port": 1, "cacertbundle": "ca.pem"})", "\"address\" must be a text"},
        {R"({"port": 4443, "cacertbundle": "ca.pem"})", "\"address\" must be a text"},
        {R"({"port": 70000, "cacertbundle": "ca.pem"})", "not 70000"},
        {R"({"port": 0, "cacertbundle": "ca.pem"})", "not 0"},
        {R"({"port": 1, "cacertbundle": "ca.pem", "clientcert": "c.pem"})",
         "\"clientcert\" and \"clientkey\" must both name files"},
        {R"({"port": 1, "cacertbundle": "ca.pem", "clientcert": "c.pem", "clientkey": 7})",
         "\"clientcert\" and \"clientkey\" must both name files"},
    };
    int number = 0;
    for (const Case& c : cases) {
        std::string transport = c.json;
        // Every case but the one about the address names the host "h".
        if (std::string(c.reason).find("address") == std::string::npos) {
            transport.insert(1, R"("address": "h", )");
        }
        RecordingLogger fresh;
        fresh.setThreshold(talvoranth::LOG_TRACE);
        ModuleConfig cfg;
        // A path of its own: the same notice twice in a row is written once.
        const std::string path = root + "/fault" + std::to_string(++number) + ".json";
        writeFile(path, R"({"transport": )" + transport + R"(, "timeout": 1})");
        ::testing::internal::CaptureStderr();
        talvoranth::loadModuleConfigFile(fresh, cfg, path);
        const std::string stderrText = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(cfg.ipTransport) << transport;
        EXPECT_NE(cfg.transportFault.find(c.reason), std::string::npos)
            << transport << ": " << cfg.transportFault;
        EXPECT_NE(stderrText.find("vexa-pkcs11: " + path + ": "), std::string::npos) << stderrText;
        EXPECT_NE(stderrText.find(c.reason), std::string::npos) << stderrText;
        EXPECT_NE(stderrText.find("no device is offered"), std::string::npos) << stderrText;
        ASSERT_FALSE(fresh.lines.empty());
        EXPECT_EQ(fresh.lines[0], kParseFailure[0]) << transport;
        EXPECT_EQ(fresh.lines.back().rfind("50 ", 0), 0u) << "the fault at ERROR";
    }
}

TEST_F(ConfigFixture, ClientCertificateAndKeyAreReadTogether) {
    load(R"({"transport": {"address": "h", "port": 4443, "cacertbundle": "ca.pem",
                           "clientcert": "/k/client.pem", "clientkey": "/k/client.key"}})");
    EXPECT_TRUE(config.ipTransport);
    EXPECT_TRUE(config.transportFault.empty());
    EXPECT_EQ(config.clientCert, "/k/client.pem");
    EXPECT_EQ(config.clientKey, "/k/client.key");
}

TEST_F(ConfigFixture, UsbIdentifiersTimeoutsAndExclusiveUse) {
    load(R"({"transport": {"vid": 4660, "pid": 22136.7, "usagePage": 65280},
             "timeout": 3000, "keytimeout": 120000, "exclusive": true})");
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(config.vendorId, 4660);
    EXPECT_EQ(config.productId, 22136);
    EXPECT_EQ(config.usagePage, 0xFF00);
    EXPECT_EQ(config.timeoutMs, 3000);
    EXPECT_EQ(config.keyTimeoutMs, 120000);
    EXPECT_TRUE(config.exclusiveDevice);
}

// 0 or below would wait without limit: the default stays, with a WARN.
TEST_F(ConfigFixture, TimeoutsOfZeroOrBelowKeepTheDefault) {
    load(R"({"timeout": 0, "keytimeout": -5})");
    EXPECT_EQ(config.timeoutMs, 12000);
    EXPECT_EQ(config.keyTimeoutMs, 65000);
    EXPECT_EQ(log.lines,
              (std::vector<std::string>{
                  "40 config value \"timeout\" must be above 0; the default 12000 ms stays",
                  "40 config value \"keytimeout\" must be above 0; the default 65000 ms stays"}));
}

TEST_F(ConfigFixture, ValuesOfTheWrongTypeAreIgnored) {
    load(R"({"transport": {"vid": "1", "pid": null, "usagePage": [1]},
             "timeout": "5", "keytimeout": {"ms": 1}, "logging": "on", "exclusive": 1})");
    EXPECT_TRUE(log.lines.empty());
    const ModuleConfig defaults;
    EXPECT_EQ(config.vendorId, defaults.vendorId);
    EXPECT_EQ(config.productId, defaults.productId);
    EXPECT_EQ(config.usagePage, defaults.usagePage);
    EXPECT_FALSE(config.ipTransport);
    EXPECT_EQ(config.timeoutMs, defaults.timeoutMs);
    EXPECT_EQ(config.keyTimeoutMs, defaults.keyTimeoutMs);
    EXPECT_FALSE(config.exclusiveDevice);
}

// Files that fail to load: what stays in force is what came before the fault.
TEST_F(ConfigFixture, FaultsLogAndKeepWhatCameBefore) {
    struct Case {
        const char* json;
        int threshold;
        uint16_t vendorId;
        int timeoutMs;
    };
    const Case cases[] = {
        {"{\"timeout\": 1", 10, 0x0483, 12000},
        {"", 10, 0x0483, 12000},
        {"[1, 2]", 10, 0x0483, 12000},
        {"\"text\"", 10, 0x0483, 12000},
        {"{} {}", 10, 0x0483, 12000},
        // Numbers no USB id, port or time-out can hold.
        {R"({"logging": {"loglevel": 20}, "transport": {"vid": 70000}, "timeout": 1})", 20, 0x0483,
         12000},
        {R"({"transport": {"vid": 1, "pid": -1}, "timeout": 1})", 10, 1, 12000},
        {R"({"timeout": 1e300})", 10, 0x0483, 12000},
        {R"({"timeout": 3, "keytimeout": 18446744073709551615})", 10, 0x0483, 3},
        {R"({"logging": {"loglevel": 1e300}})", 10, 0x0483, 12000},
    };
    for (const Case& c : cases) {
        RecordingLogger fresh;
        fresh.setThreshold(talvoranth::LOG_TRACE);
        ModuleConfig cfg;
        const std::string path = root + "/fault.json";
        writeFile(path, c.json);
        talvoranth::loadModuleConfigFile(fresh, cfg, path);
        ASSERT_EQ(fresh.lines.size(), 2u) << c.json;
        EXPECT_EQ(fresh.lines[0], kParseFailure[0]) << c.json;
        EXPECT_EQ(fresh.lines[1].rfind("20 ", 0), 0u) << c.json;
        EXPECT_EQ(fresh.threshold(), c.threshold) << c.json;
        EXPECT_EQ(cfg.vendorId, c.vendorId) << c.json;
        EXPECT_EQ(cfg.timeoutMs, c.timeoutMs) << c.json;
        EXPECT_FALSE(cfg.ipTransport) << c.json;
    }
}

TEST_F(ConfigFixture, TopLevelNullChangesNothing) {
    load("null");
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(config.timeoutMs, 12000);
}

// The issue's example: a configured log writes the same line to the
// console and to the file.
TEST_F(ConfigFixture, ConfiguredLogWritesToConsoleAndFile) {
    // Forward slashes: the path goes into a JSON text unescaped.
    const std::string logPath = std::filesystem::path(root + "/module.log").generic_string();
    load(R"({"logging": {"loglevel": 30, "logconsole": true, "logfile": ")" + logPath +
             R"("}, "transport": {"address": "h", "port": 4443, "cacertbundle": "ca.pem"}})",
         50);
    for (const std::string& output : {log.consoleOut.str(), readFile(logPath)}) {
        ASSERT_FALSE(output.empty());
        EXPECT_EQ(output.find('\n'), output.size() - 1) << "one line: " << output;
        const std::optional<LogLine> line = parseLogLine(output.substr(0, output.size() - 1));
        ASSERT_TRUE(line) << output;
        EXPECT_EQ(line->level, "INFO");
        EXPECT_EQ(line->text, "Connecting to IP transport.");
    }
    EXPECT_EQ(log.logFilePath(), logPath);
}

TEST_F(ConfigFixture, UnopenableLogFileLeavesTheConsole) {
    load(R"({"logging": {"loglevel": 10, "logconsole": true, "logfile": "/nonexistent/dir/x.log"},
             "timeout": 1})",
         50);
    EXPECT_FALSE(log.logFileOpen());
    EXPECT_TRUE(log.console());
    EXPECT_EQ(config.timeoutMs, 1);
    log.log(talvoranth::LOG_DEBUG, "visible");
    EXPECT_NE(log.consoleOut.str().find(" DEBUG : visible\n"), std::string::npos);
}

// Where "vexaconfig.json" is looked for.
TEST_F(ConfigFixture, ConfigDirectoryLookup) {
    const std::string file = talvoranth::kModuleConfigFileName;
    const std::string home = root + "/home/";
    const std::string profile = root + "/profile/";
    std::filesystem::create_directories(home + ".vexa");
    std::filesystem::create_directories(profile + ".vexa");
    const std::string exeDir = vexa::platform::executableDirectory();

    // Nothing anywhere: the executable's directory, unchecked.
    EXPECT_EQ(talvoranth::findModuleConfigDirectory(file), exeDir);

    writeFile(profile + ".vexa/" + file, "{}");
    vexa::platform::setEnvironment("USERPROFILE", profile.c_str());
    EXPECT_EQ(talvoranth::findModuleConfigDirectory(file), exeDir) << "HOME wins over USERPROFILE";
    vexa::platform::setEnvironment("HOME", "");
    EXPECT_EQ(talvoranth::findModuleConfigDirectory(file), profile + ".vexa" + kSeparator)
        << "an empty HOME counts as unset";
    vexa::platform::unsetEnvironment("HOME");
    EXPECT_EQ(talvoranth::findModuleConfigDirectory(file), profile + ".vexa" + kSeparator);

    vexa::platform::setEnvironment("HOME", (root + "/home").c_str());  // no trailing '/'
    writeFile(home + ".vexa/" + file, "{}");
    EXPECT_EQ(talvoranth::findModuleConfigDirectory(file),
              root + "/home" + kSeparator + ".vexa" + kSeparator);

    writeFile(work + "/" + file, "{}");
    const std::string cwd = vexa::platform::workingDirectory();
    EXPECT_EQ(talvoranth::findModuleConfigDirectory(file), cwd);
    EXPECT_EQ(cwd.substr(cwd.size() - 5), std::string("work") + kSeparator) << cwd;

    // A file in the working directory that others may change is passed over
    // with a warning: it could send the user's PINs to another daemon.
    for (const auto mode :
         {std::filesystem::perms::group_write, std::filesystem::perms::others_write}) {
        std::filesystem::permissions(work + "/" + file, std::filesystem::perms::owner_read |
                                                            std::filesystem::perms::owner_write |
                                                            mode);
        if (!vexa::platform::fileAccess(work + "/" + file).writableByOthers) {
            GTEST_SKIP() << "file modes do not grant others write access on this system";
        }
        std::string warning;
        EXPECT_EQ(talvoranth::findModuleConfigDirectory(file, &warning),
                  root + "/home" + kSeparator + ".vexa" + kSeparator);
        EXPECT_EQ(warning, file +
                               " in the working directory is not used: it may be written by "
                               "other users");
    }
}

TEST_F(ConfigFixture, APlantedWorkingDirectoryFileIsNotLoaded) {
    std::filesystem::create_directories(root + "/home/.vexa");
    writeFile(root + "/home/.vexa/vexaconfig.json",
              R"({"timeout": 2, "logging": {"loglevel": 40}})");
    writeFile(work + "/vexaconfig.json",
              R"({"transport": {"address": "evil", "port": 1, "cacertbundle": "ca.pem"}})");
    std::filesystem::permissions(work + "/vexaconfig.json", std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::add);
    if (!vexa::platform::fileAccess(work + "/vexaconfig.json").writableByOthers) {
        GTEST_SKIP() << "file modes do not grant others write access on this system";
    }
    talvoranth::loadModuleConfig(log, config);
    EXPECT_FALSE(config.ipTransport);
    EXPECT_EQ(config.timeoutMs, 2);
    EXPECT_EQ(log.lines, std::vector<std::string>{"40 vexaconfig.json in the working directory is "
                                                  "not used: it may be written by other users"});
}

TEST_F(ConfigFixture, RelativeUserDirectoryWithoutHomeOrProfile) {
    vexa::platform::unsetEnvironment("HOME");
    std::filesystem::create_directories(work + "/.vexa");
    writeFile(work + "/.vexa/" + talvoranth::kModuleConfigFileName, "{}");
    EXPECT_EQ(talvoranth::findModuleConfigDirectory(talvoranth::kModuleConfigFileName),
              std::string(".vexa") + kSeparator);
}

TEST_F(ConfigFixture, LoaderPrefersTheWorkingDirectoryOverTheUserDirectory) {
    std::filesystem::create_directories(root + "/home/.vexa");
    writeFile(root + "/home/.vexa/vexaconfig.json", R"({"timeout": 2})");
    writeFile(work + "/vexaconfig.json", R"({"timeout": 1})");
    talvoranth::loadModuleConfig(log, config);
    EXPECT_EQ(config.timeoutMs, 1);

    std::filesystem::remove(work + "/vexaconfig.json");
    ModuleConfig fromHome;
    talvoranth::loadModuleConfig(log, fromHome);
    EXPECT_EQ(fromHome.timeoutMs, 2);
}
