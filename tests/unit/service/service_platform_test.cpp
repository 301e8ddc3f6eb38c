// The systemd side of the service platform layer: the unit file, how
// systemctl failures map to the service codes, the notify messages, and
// running a helper program.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/child_process.h"
#include "platform/service_dispatcher.h"
#include "platform/service_manager.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

namespace platform = vexa::platform;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

platform::ServiceDefinition VexaDefinition(const std::string& executable) {
    return {"vexa-daemon", "Vexa network daemon", executable, {"service"}};
}

std::string LineStarting(const std::string& text, const std::string& prefix) {
    size_t at = text.find("\n" + prefix);
    if (at == std::string::npos) {
        return "";
    }
    size_t end = text.find('\n', at + 1);
    return text.substr(at + 1, end - at - 1);
}

TEST(ServiceUnit, TheReferenceUnitInPackagingIsWhatInstallWrites) {
    std::string text;
    ASSERT_EQ(platform::formatServiceUnit(VexaDefinition("/usr/bin/vexa-daemon"), text), 0u);
    const std::string source = std::getenv("VEXA_SOURCE_DIR");
    EXPECT_EQ(text, ReadFile(source + "/packaging/vexa-daemon.service"));
    for (const char* line :
         {"Description=Vexa network daemon", "Type=notify",
          "ExecStart=\"/usr/bin/vexa-daemon\" service", "DynamicUser=yes",
          "SupplementaryGroups=plugdev", "ProtectSystem=strict", "PrivateTmp=yes",
          "NoNewPrivileges=yes", "WantedBy=multi-user.target"}) {
        EXPECT_NE(text.find(std::string("\n") + line + "\n"), std::string::npos) << line;
    }
}

TEST(ServiceUnit, CommandLinesAreQuotedAndEscapedForSystemd) {
    struct Case {
        std::string executable;
        std::vector<std::string> arguments;
        std::string execStart;
    };
    const Case cases[] = {
        {"/opt/my tools/vexa-daemon",
         {"service"},
         "ExecStart=\"/opt/my tools/vexa-daemon\" service"},
        {"/opt/100%/vexa-daemon", {"service"}, "ExecStart=\"/opt/100%%/vexa-daemon\" service"},
        {"/opt/a$b/vexa-daemon", {}, "ExecStart=\"/opt/a$b/vexa-daemon\""},
        {"/usr/bin/vexa-daemon",
         {"two words", "a\"b\\c", "50%"},
         "ExecStart=\"/usr/bin/vexa-daemon\" \"two words\" \"a\\\"b\\\\c\" \"50%%\""},
    };
    for (const Case& c : cases) {
        std::string text;
        ASSERT_EQ(platform::formatServiceUnit({"x", "d", c.executable, c.arguments}, text), 0u)
            << c.executable;
        EXPECT_EQ(LineStarting(text, "ExecStart="), c.execStart);
    }
    std::string text;
    ASSERT_EQ(platform::formatServiceUnit({"x", "100% sure", "/x", {}}, text), 0u);
    EXPECT_EQ(LineStarting(text, "Description="), "Description=100%% sure");
}

TEST(ServiceUnit, PathsThatSystemdCannotTakeAreRefused) {
    const std::string bad[] = {
        "", "relative/vexa-daemon", "/a\nb", "/a\tb", "/a\"b", "/a\\b", "/a'b", "/a\x7f"};
    for (const std::string& executable : bad) {
        std::string text = "untouched";
        EXPECT_EQ(platform::formatServiceUnit(VexaDefinition(executable), text),
                  platform::kErrorBadPathname)
            << executable;
        EXPECT_EQ(text, "untouched");
    }
    std::string text;
    EXPECT_EQ(platform::formatServiceUnit({"x", "line\nbreak", "/x", {}}, text),
              platform::kErrorBadPathname);
    EXPECT_EQ(platform::formatServiceUnit({"x", "d", "/x", {"new\nline"}}, text),
              platform::kErrorBadPathname);
}

// systemd-analyze is part of systemd; it checks a unit without a running
// systemd, including that the executable exists.
TEST(ServiceUnit, SystemdAcceptsTheUnitForAnAwkwardPath) {
    if (vexa::test::RunShell("systemd-analyze --version").status != 0) {
        GTEST_SKIP() << "systemd-analyze is not installed";
    }
    const vexa::test::TempDir temp("vexa-unit");
    const std::string dir = temp.path();
    const std::string binDir = dir + "/my tools 100%$";
    const std::string executable = binDir + "/vexa-daemon";
    const std::string unit = dir + "/vexa-daemon.service";
    ASSERT_EQ(mkdir(binDir.c_str(), 0755), 0);
    ASSERT_EQ(vexa::test::RunShell("cp /bin/true '" + executable + "'").status, 0);
    std::string text;
    ASSERT_EQ(platform::formatServiceUnit(VexaDefinition(executable), text), 0u);
    std::ofstream(unit) << text;

    platform::ProgramResult result = platform::runProgram("systemd-analyze", {"verify", unit});
    EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
    // Warnings do not change the exit status; there must be none.
    EXPECT_EQ(result.errorOutput.find("vexa-daemon.service"), std::string::npos)
        << result.errorOutput;
}

TEST(SystemctlFailure, MapsToTheServiceCodes) {
    struct Case {
        int exitStatus;
        std::string text;
        platform::SystemErrorCode code;
    };
    const Case cases[] = {
        {4, "", 5},
        {1, "Failed to start vexa-daemon.service: Access denied\n", 5},
        {1, "Failed to stop vexa-daemon.service: Interactive authentication required.\n", 5},
        {1, "Failed to enable unit: Permission denied\n", 5},
        {5, "Failed to start vexa-daemon.service: Unit vexa-daemon.service not found.\n", 1060},
        {1, "Failed to disable unit: Unit file vexa-daemon.service does not exist.\n", 1060},
        {5, "", 1060},
        {1, "Failed to start vexa-daemon.service: Unit vexa-daemon.service is masked.\n", 1058},
        {1, "Failed to connect to bus: Host is down\n", 1064},
        {-1, "", 1064},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::systemctlFailureCode(c.exitStatus, c.text), c.code) << c.text;
    }
}

TEST(ServiceNotification, StatusReportsBecomeNotifyMessages) {
    struct Case {
        uint32_t state, exitCode, checkPoint, waitHint;
        std::string message;
    };
    const Case cases[] = {
        {2, 0, 1, 0, "STATUS=Starting (check point 1)"},
        {4, 0, 0, 0, "READY=1\nSTATUS=Running"},
        {3, 0, 7, 0, "STOPPING=1\nSTATUS=Stopping (check point 7)"},
        {1, 0, 0, 0, "STATUS=Stopped"},
        {1, 5, 0, 0, "STATUS=Stopped (exit code 0x00000005)"},
        {6, 0, 8, 0, "STATUS=Pausing (check point 8)"},
        {7, 0, 0, 0, "STATUS=Paused"},
        {5, 0, 9, 0, "STATUS=Resuming (check point 9)"},
        {2, 0, 2, 3000, "STATUS=Starting (check point 2)\nEXTEND_TIMEOUT_USEC=3000000"},
        {42, 0, 0, 0, "STATUS=Unknown"},
    };
    for (const Case& c : cases) {
        platform::ServiceStatus status;
        status.serviceType = platform::kServiceOwnProcess;
        status.currentState = c.state;
        status.exitCode = c.exitCode;
        status.checkPoint = c.checkPoint;
        status.waitHint = c.waitHint;
        EXPECT_EQ(platform::serviceStatusNotification(status), c.message);
    }
}

TEST(ServiceDispatcher, RegistrationOutsideARunningDispatcherFails) {
    platform::SystemErrorCode error = 0;
    EXPECT_EQ(platform::registerServiceControlHandler(
                  "vexa-daemon", [](uint32_t) {}, &error),
              0u);
    EXPECT_EQ(error, platform::kErrorServiceNotInExe);
    EXPECT_FALSE(platform::setServiceStatus(1, platform::ServiceStatus{}));
}

TEST(RunProgram, CollectsBothStreamsAndTheExitStatus) {
    platform::ProgramResult result =
        platform::runProgram("sh", {"-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(result.startError, 0);
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_EQ(result.output, "out\n");
    EXPECT_EQ(result.errorOutput, "err\n");
    EXPECT_FALSE(result.succeeded());
}

TEST(RunProgram, ArgumentsReachTheProgramUnchangedWithoutAShell) {
    platform::ProgramResult result =
        platform::runProgram("printf", {"%s|", "a b", "$HOME", "; false"});
    EXPECT_TRUE(result.succeeded());
    EXPECT_EQ(result.output, "a b|$HOME|; false|");
}

TEST(RunProgram, AMissingProgramIsAStartError) {
    platform::ProgramResult result = platform::runProgram("/nonexistent/vexa-systemctl", {});
    EXPECT_EQ(result.startError, ENOENT);
    EXPECT_FALSE(result.succeeded());
}

TEST(RunProgram, LargeOutputIsCappedWithoutBlockingTheProgram) {
    platform::ProgramResult result = platform::runProgram(
        "sh", {"-c", "head -c 1000000 /dev/zero; head -c 300000 /dev/zero >&2"});
    EXPECT_TRUE(result.succeeded());
    EXPECT_EQ(result.output.size(), platform::kMaxProgramOutput);
    EXPECT_EQ(result.errorOutput.size(), platform::kMaxProgramOutput);
}

TEST(RunProgram, AProgramEndedBySignalHasNoExitStatus) {
    platform::ProgramResult result = platform::runProgram("sh", {"-c", "kill -TERM $$"});
    EXPECT_EQ(result.startError, 0);
    EXPECT_EQ(result.exitStatus, -1);
}

}  // namespace
