#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "daemon/settings.h"
#include "platform/platform.h"
#include "support/temp_dir.h"

using nlohmann::json;

TEST(OptionValue, TakesTheArgumentAfterTheFirstOccurrence) {
    struct Case {
        ArgumentList args;
        const char* option;
        const char* expected;
    };
    const Case cases[] = {
        {{}, "-p", "fallback"},
        {{"-p"}, "-p", "fallback"},
        {{"-d", "SN", "-p"}, "-p", "fallback"},
        {{"-p", "5000"}, "-p", "5000"},
        {{"install", "-p", "5000", "-d", "SN"}, "-p", "5000"},
        {{"-p", "1", "-p", "2"}, "-p", "1"},
        {{"-p", "-d"}, "-p", "-d"},
        {{"-p", "start"}, "-p", "start"},
        {{"-p", ""}, "-p", ""},
        {{"-P", "5000"}, "-p", "fallback"},
        {{"-p5000"}, "-p", "fallback"},
        {{"x", "-p"}, "-p", "fallback"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OptionValue(c.args, c.option, "fallback"), c.expected)
            << ::testing::PrintToString(c.args);
    }
}

TEST(CommandLine, CommandWordsAreWholeCaseSensitiveAndFoundAnywhere) {
    struct Case {
        ArgumentList args;
        DaemonCommand command;
        RunMode mode;
    };
    const Case cases[] = {
        {{}, DaemonCommand::Run, RunMode::Console},
        {{"start"}, DaemonCommand::Start, RunMode::Console},
        {{"stop", "start"}, DaemonCommand::Start, RunMode::Console},
        {{"restart", "stop"}, DaemonCommand::Stop, RunMode::Console},
        {{"-d", "SN", "restart"}, DaemonCommand::Restart, RunMode::Console},
        {{"uninstall", "install"}, DaemonCommand::Uninstall, RunMode::Install},
        {{"install", "service"}, DaemonCommand::Run, RunMode::Install},
        {{"-p", "1", "service"}, DaemonCommand::Run, RunMode::Service},
        {{"START", "Stop", "starting", "--stop"}, DaemonCommand::Run, RunMode::Console},
        // An option's value is searched like any argument.
        {{"-d", "start"}, DaemonCommand::Start, RunMode::Console},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ChooseCommand(c.args), c.command) << ::testing::PrintToString(c.args);
        EXPECT_EQ(ChooseRunMode(c.args), c.mode) << ::testing::PrintToString(c.args);
    }
    EXPECT_TRUE(HasArgument({"a", "-d"}, "-d"));
    EXPECT_FALSE(HasArgument({"-dx", "d"}, "-d"));
}

TEST(CommandLine, CollectsTheArgumentsAfterTheProgramName) {
    char program[] = "vexa-daemon";
    char first[] = "-p";
    char second[] = "";
    char* argv[] = {program, first, second, nullptr};
    EXPECT_EQ(CollectArguments(3, argv), (ArgumentList{"-p", ""}));
    EXPECT_TRUE(CollectArguments(1, argv).empty());
}

// Command line over file over default, row by row.
TEST(BuildDaemonSettings, CommandLineOverFileOverDefault) {
    struct Case {
        const char* file;  // JSON text, or nullptr for no file
        ArgumentList args;
        DaemonSettings expected;
    };
    const DaemonSettings defaults;
    const Case cases[] = {
        {nullptr, {}, defaults},
        {nullptr, {"-d"}, defaults},
        // A port written as a JSON number is the same port.
        {R"({"port": 5000})", {}, {"5000", "", "localhost", "ca.pem", "server.pem", "key.pem", ""}},
        {R"({"clientca": "clients.pem"})",
         {},
         {"4443", "", "localhost", "ca.pem", "server.pem", "key.pem", "clients.pem"}},
        {R"({"clientca": "clients.pem"})",
         {"-clientca", "/etc/c.pem"},
         {"4443", "", "localhost", "ca.pem", "server.pem", "key.pem", "/etc/c.pem"}},
        {R"({"port": 5000})",
         {"-p", "6000"},
         {"6000", "", "localhost", "ca.pem", "server.pem", "key.pem", ""}},
        {R"({"port": "5000", "device": "FILESN", "bindaddress": "0.0.0.0",
             "cafile": "c.pem", "certfile": "s.pem", "keyfile": "k.pem", "extra": "x"})",
         {},
         {"5000", "FILESN", "0.0.0.0", "c.pem", "s.pem", "k.pem", ""}},
        {R"({"port": "5000", "device": "FILESN", "bindaddress": "0.0.0.0",
             "cafile": "c.pem", "certfile": "s.pem", "keyfile": "k.pem"})",
         {"-p", "1", "-d", "CLISN", "-i", "::1", "-ca", "a", "-crt", "b", "-key", "c"},
         {"1", "CLISN", "::1", "a", "b", "c", ""}},
        // "-p" last: the file's value stays.
        {R"({"port": "5000"})",
         {"-d", "SN", "-p"},
         {"5000", "SN", "localhost", "ca.pem", "server.pem", "key.pem", ""}},
        {R"({"port": "5000"})",
         {"-p", "7", "-p", "8"},
         {"7", "", "localhost", "ca.pem", "server.pem", "key.pem", ""}},
        {R"({"port": true, "device": null, "bindaddress": ["a"], "cafile": {"f": "x"},
             "certfile": 1.5, "keyfile": 0})",
         {},
         defaults},
        {R"({"device": "", "bindaddress": ""})",
         {},
         {"4443", "", "", "ca.pem", "server.pem", "key.pem", ""}},
        {R"({"PORT": "1", "Device": "x"})", {}, defaults},
    };
    for (const Case& c : cases) {
        const json config = c.file ? json::parse(c.file) : json();
        const DaemonSettings s = BuildDaemonSettings(c.args, config);
        const std::string where =
            std::string(c.file ? c.file : "(no file)") + " " + ::testing::PrintToString(c.args);
        EXPECT_EQ(s.port, c.expected.port) << where;
        EXPECT_EQ(s.device, c.expected.device) << where;
        EXPECT_EQ(s.bindAddress, c.expected.bindAddress) << where;
        EXPECT_EQ(s.caFile, c.expected.caFile) << where;
        EXPECT_EQ(s.certFile, c.expected.certFile) << where;
        EXPECT_EQ(s.keyFile, c.expected.keyFile) << where;
        EXPECT_EQ(s.clientCaFile, c.expected.clientCaFile) << where;
    }
}

TEST(BuildDaemonSettings, NonObjectConfigurationGivesDefaults) {
    for (const char* text : {"[1]", "\"x\"", "5", "null"}) {
        const DaemonSettings s = BuildDaemonSettings({"-d", "SN"}, json::parse(text));
        EXPECT_EQ(s.port, "4443") << text;
        EXPECT_EQ(s.device, "SN") << text;
    }
}

TEST(ResolveDataPath, AbsoluteOrVeryShortPathsStayOthersJoinTheConfigDirectory) {
    struct Case {
        const char* path;
        const char* expected;
    };
    const Case cases[] = {
        {"/etc/ssl/server.pem", "/etc/ssl/server.pem"},
        {"/", "/"},
        {"", ""},
        {"a", "a"},
        {"ab", "ab"},
        {"abc", "/cfg/abc"},
        {"certs/server.pem", "/cfg/certs/server.pem"},
        {"./key.pem", "/cfg/./key.pem"},
        {"../ca.pem", "/cfg/../ca.pem"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ResolveDataPath(c.path, "/cfg/"), c.expected) << c.path;
    }
    // A drive letter or a backslash: absolute on Windows only.
    const bool windows = vexa::platform::kDirectorySeparator == '\\';
    for (const char* path : {"C:\\x\\server.pem", "c:server.pem", "\\\\share\\cert.pem"}) {
        EXPECT_EQ(ResolveDataPath(path, "/cfg/"), windows ? path : "/cfg/" + std::string(path))
            << path;
    }
    EXPECT_EQ(ResolveDataPath("server.pem", ""), "server.pem");
}

namespace {

// Runs each test in a fresh working directory.
class ConfigFileFixture : public ::testing::Test {
protected:
    void SetUp() override {
        savedCwd = std::filesystem::current_path();
        std::filesystem::current_path(dir);
    }
    void TearDown() override { std::filesystem::current_path(savedCwd); }
    void writeConfig(const std::string& content) {
        std::ofstream(dir + "/" + kDaemonConfigFileName) << content;
    }
    // Loads the configuration, capturing both console streams.
    bool load(json& config) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const bool loaded = LoadDaemonConfig(config);
        out = ::testing::internal::GetCapturedStdout();
        err = ::testing::internal::GetCapturedStderr();
        return loaded;
    }

    vexa::test::TempDir temp{"vexa-daemon-settings"};
    std::string dir = temp.path();
    std::filesystem::path savedCwd;
    std::string out, err;
};

}  // namespace

TEST_F(ConfigFileFixture, WithoutAFileTheDirectoryIsTheExecutables) {
    const std::string exeDir = vexa::platform::executableDirectory();
    ASSERT_FALSE(exeDir.empty());
    ASSERT_FALSE(std::filesystem::exists(exeDir + kDaemonConfigFileName))
        << "tests must not leave a configuration file beside the programs";
    EXPECT_EQ(FindConfigDirectory(), exeDir);
    EXPECT_EQ(ResolveDataPath("server.pem"), exeDir + "server.pem");

    json config;
    EXPECT_FALSE(load(config));
    EXPECT_EQ(out, "Failed to find config file.\r\n");
    EXPECT_EQ(err, "");
    EXPECT_TRUE(config.is_null());
}

TEST_F(ConfigFileFixture, FileInTheWorkingDirectoryIsReadAndAnchorsRelativePaths) {
    writeConfig(R"({"port": "5000", "device": "SN1"})");
    const std::string configDirectory = dir + vexa::platform::kDirectorySeparator;
    EXPECT_EQ(FindConfigDirectory(), configDirectory);
    EXPECT_EQ(ResolveDataPath("certs/server.pem"), configDirectory + "certs/server.pem");

    json config;
    ASSERT_TRUE(load(config));
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_EQ(BuildDaemonSettings({}, config).port, "5000");
    EXPECT_EQ(BuildDaemonSettings({}, config).device, "SN1");
}

TEST_F(ConfigFileFixture, UnusableFilesAreReportedAndLeaveNoValue) {
    const char* contents[] = {
        "", "{", "{\"port\": \"1\",}", "{} {}", "[1, 2]", "\"port\"", "5000", "true", "null",
    };
    for (const char* content : contents) {
        writeConfig(content);
        json config = json::object({{"stale", "value"}});
        EXPECT_FALSE(load(config)) << content;
        EXPECT_EQ(out, "") << content;
        EXPECT_EQ(err, "ERROR: Failed to load config file.\r\n") << content;
        EXPECT_TRUE(config.is_null()) << content;
    }
}

TEST_F(ConfigFileFixture, DirectoryInPlaceOfTheFileFailsToLoad) {
    // A directory of that name opens but cannot be read: it fails to load.
    // On Windows a directory does not open as a file at all: not found.
    std::filesystem::create_directory(dir + "/" + kDaemonConfigFileName);
    json config;
    EXPECT_FALSE(load(config));
    if (vexa::platform::kDirectorySeparator == '\\') {
        EXPECT_EQ(out, "Failed to find config file.\r\n");
    } else {
        EXPECT_EQ(err, "ERROR: Failed to load config file.\r\n");
    }
}
