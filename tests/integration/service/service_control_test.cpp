// vexa-daemon's service commands, run as the real program against a
// temporary unit directory and a stand-in systemctl that records its calls
// and answers like the real one (systemd does not run here).
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "integration/tls/test_env.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using vexa::test::CommandResult;
using vexa::test::RunCommand;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

std::string SourceDir() {
    const char* dir = std::getenv("VEXA_SOURCE_DIR");
    return dir != nullptr ? dir : "";
}

std::string DaemonPath() {
    char resolved[PATH_MAX];
    const std::string path = vexa::test::BinDir() + "/vexa-daemon";
    return realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

// Lines the stand-in records for each systemctl call.
const std::string kReload = "--no-ask-password daemon-reload\n";
const std::string kEnable = "--no-ask-password enable vexa-daemon.service\n";
const std::string kDisable = "--no-ask-password disable vexa-daemon.service\n";
const std::string kIsActive = "--no-ask-password is-active vexa-daemon.service\n";
const std::string kStart = "--no-ask-password --no-block start vexa-daemon.service\n";
const std::string kStop = "--no-ask-password --no-block stop vexa-daemon.service\n";

// One command and all that it should print, return and ask systemctl.
struct Step {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
    std::string calls;
};

class ServiceControl : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mkdir(units.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(state.c_str(), 0755), 0);
        // An empty configuration: no "Failed to find config file." line.
        vexa::test::WriteFile(dir.file("vexa-daemon.json"), "{}");
    }

    CommandResult Daemon(std::vector<std::string> args,
                         const std::map<std::string, std::string>& extra = {}) {
        std::map<std::string, std::string> env = {
            {"VEXA_SERVICE_UNIT_DIR", units},
            {"VEXA_SYSTEMCTL", SourceDir() + "/tests/integration/service/fake_systemctl"},
            {"FAKE_SYSTEMCTL_STATE", state},
        };
        for (const auto& [name, value] : extra) {
            env[name] = value;
        }
        return RunCommand(DaemonPath(), args, env, dir.path());
    }

    // The calls recorded since the last look.
    std::string NewCalls() {
        std::string calls = ReadFile(state + "/calls");
        unlink((state + "/calls").c_str());
        return calls;
    }

    void Install() {
        CommandResult r = Daemon({"install", "-d", "SN1"});
        ASSERT_EQ(r.out, "Service installed successfully\r\n") << r.err;
        NewCalls();
    }

    void RunSteps(const std::vector<Step>& steps,
                  const std::map<std::string, std::string>& extra = {}) {
        for (const Step& step : steps) {
            std::string command;
            for (const std::string& a : step.args) {
                command += a + " ";
            }
            SCOPED_TRACE(command);
            CommandResult r = Daemon(step.args, extra);
            EXPECT_EQ(r.status, step.status);
            EXPECT_EQ(r.out, step.out);
            EXPECT_EQ(r.err, step.err);
            EXPECT_EQ(NewCalls(), step.calls);
        }
    }

    void SetActiveState(const std::string& activeState) {
        vexa::test::WriteFile(state + "/active", activeState + "\n");
    }

    vexa::test::TempDir dir;
    const std::string units = dir.file("units");
    const std::string state = dir.file("state");
    const std::string unitFile = units + "/vexa-daemon.service";
};

TEST_F(ServiceControl, InstallWritesTheUnitForThisExecutableAndEnablesIt) {
    // Options on the installing command line are not stored.
    CommandResult r = Daemon({"install", "-d", "SN1", "-p", "5000", "-i", "0.0.0.0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Service installed successfully\r\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(NewCalls(), kReload + kEnable);
    EXPECT_TRUE(Exists(state + "/enabled"));

    std::string expected = ReadFile(SourceDir() + "/packaging/vexa-daemon.service");
    const std::string reference = "ExecStart=\"/usr/bin/vexa-daemon\" service\n";
    ASSERT_NE(expected.find(reference), std::string::npos);
    expected.replace(expected.find(reference), reference.size(),
                     "ExecStart=\"" + DaemonPath() + "\" service\n");
    EXPECT_EQ(ReadFile(unitFile), expected);
    struct stat info {};
    ASSERT_EQ(stat(unitFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    if (vexa::test::RunShell("systemd-analyze --version").status == 0) {
        CommandResult verify =
            RunCommand("/usr/bin/systemd-analyze", {"verify", unitFile}, {}, dir.path());
        EXPECT_EQ(verify.status, 0) << verify.err;
        EXPECT_EQ(verify.err.find("vexa-daemon.service"), std::string::npos) << verify.err;
    }
}

TEST_F(ServiceControl, InstallingTwiceKeepsTheFirstUnit) {
    Install();
    vexa::test::WriteFile(unitFile, "# kept\n");
    RunSteps({{{"install", "-d", "SN1"}, 1, "", "ERROR: CreateService failed (1073)\r\n", ""}});
    EXPECT_EQ(ReadFile(unitFile), "# kept\n");
}

TEST_F(ServiceControl, AUnitThatSystemdDoesNotTakeIsRemovedAgain) {
    RunSteps({{{"install", "-d", "SN1"},
               1,
               "",
               "ERROR: CreateService failed (5)\r\n",
               kReload + kEnable}},
             {{"FAKE_SYSTEMCTL_DENY", "enable"}});
    EXPECT_FALSE(Exists(unitFile));

    // A failure without a code of its own shows systemctl's explanation.
    CommandResult r =
        Daemon({"install", "-d", "SN1"}, {{"FAKE_SYSTEMCTL_BROKEN", "daemon-reload"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "System has not been booted with systemd as init system (PID 1). Can't operate.\n"
              "Failed to connect to bus: Host is down\n"
              "ERROR: CreateService failed (1064)\r\n");
    EXPECT_FALSE(Exists(unitFile));
    EXPECT_EQ(NewCalls(), kReload);
}

TEST_F(ServiceControl, TheLifeOfTheServiceFromInstallToUninstall) {
    Install();
    RunSteps({
        {{"start"}, 0, "Service started.\r\n", "", kIsActive + kStart},
        {{"start"}, 1, "", "ERROR: StartService failed (1056)\r\n", kIsActive},
        {{"restart"},
         0,
         "Service stopped.\r\nService started.\r\n",
         "",
         kIsActive + kStop + kIsActive + kStart},
        {{"stop"}, 0, "Service stopped.\r\n", "", kIsActive + kStop},
        {{"stop"}, 1, "", "ERROR: ControlService failed (1062)\r\n", kIsActive},
        {{"restart"},
         0,
         "Service started.\r\n",
         "ERROR: ControlService failed (1062)\r\n",
         kIsActive + kIsActive + kStart},
        // A running service is not stopped first.
        {{"uninstall"},
         0,
         "Service deleted successfully\r\nService uninstalled.\r\n",
         "",
         kDisable + kReload},
        {{"start"}, 1, "", "ERROR: OpenService failed (1060)\r\n", ""},
    });
    EXPECT_FALSE(Exists(unitFile));
    EXPECT_FALSE(Exists(state + "/enabled"));
}

TEST_F(ServiceControl, CommandsForAServiceThatIsNotInstalled) {
    RunSteps({
        {{"start"}, 1, "", "ERROR: OpenService failed (1060)\r\n", ""},
        {{"stop"}, 1, "", "ERROR: OpenService failed (1060)\r\n", ""},
        {{"restart"},
         1,
         "",
         "ERROR: OpenService failed (1060)\r\nERROR: OpenService failed (1060)\r\n",
         ""},
        {{"uninstall"},
         1,
         "Service uninstalled.\r\n",
         "ERROR: OpenService failed (1060)\n\r\n",
         ""},
    });
}

TEST_F(ServiceControl, StartingAndStoppingServicesOnTheirWay) {
    Install();
    struct Case {
        std::string activeState;
        Step step;
    };
    const Case cases[] = {
        {"activating", {{"start"}, 1, "", "ERROR: StartService failed (1056)\r\n", kIsActive}},
        {"activating", {{"stop"}, 0, "Service stopped.\r\n", "", kIsActive + kStop}},
        {"deactivating", {{"start"}, 1, "", "ERROR: StartService failed (1056)\r\n", kIsActive}},
        {"deactivating", {{"stop"}, 1, "", "ERROR: ControlService failed (1061)\r\n", kIsActive}},
        {"failed", {{"stop"}, 1, "", "ERROR: ControlService failed (1062)\r\n", kIsActive}},
        {"failed", {{"start"}, 0, "Service started.\r\n", "", kIsActive + kStart}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.activeState);
        SetActiveState(c.activeState);
        RunSteps({c.step});
    }
}

TEST_F(ServiceControl, SystemctlFailuresBecomeTheServiceCodes) {
    Install();
    RunSteps({{{"start"}, 1, "", "ERROR: StartService failed (5)\r\n", kIsActive + kStart}},
             {{"FAKE_SYSTEMCTL_DENY", "start"}});
    SetActiveState("active");
    RunSteps({{{"stop"}, 1, "", "ERROR: ControlService failed (5)\r\n", kIsActive + kStop}},
             {{"FAKE_SYSTEMCTL_DENY", "stop"}});
    RunSteps({{{"uninstall"},
               1,
               "Service uninstalled.\r\n",
               "ERROR: DeleteService failed (5)\r\n",
               kDisable}},
             {{"FAKE_SYSTEMCTL_DENY", "disable"}});
    EXPECT_TRUE(Exists(unitFile));
    RunSteps({{{"start"}, 1, "", "ERROR: StartService failed (2)\r\n", ""}},
             {{"VEXA_SYSTEMCTL", dir.file("no-such-systemctl")}});

    CommandResult r = Daemon({"stop"}, {{"FAKE_SYSTEMCTL_BROKEN", "is-active"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "System has not been booted with systemd as init system (PID 1). Can't operate.\n"
              "Failed to connect to bus: Host is down\n"
              "ERROR: ControlService failed (1064)\r\n");
}

// Without write access to the unit directory every command is refused by
// the service manager, as for a user who is not an administrator.
TEST_F(ServiceControl, AnUnprivilegedUserIsDeniedAccess) {
    Install();
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(state.c_str(), 0777), 0);
    std::string program = DaemonPath();
    std::vector<std::string> prefix;
    if (geteuid() == 0) {
        // root may write anywhere: run the commands as nobody.
        program = "/usr/bin/setpriv";
        prefix = {"--reuid=65534", "--regid=65534", "--clear-groups", DaemonPath()};
    } else {
        ASSERT_EQ(chmod(units.c_str(), 0555), 0);
    }
    const Step steps[] = {
        {{"install", "-d", "SN1"}, 1, "", "ERROR: OpenSCManager failed (5)\r\n", ""},
        {{"start"}, 1, "", "ERROR: OpenSCManager failed (5)\r\n", ""},
        {{"stop"}, 1, "", "ERROR: OpenSCManager failed (5)\r\n", ""},
        {{"uninstall"}, 1, "Service uninstalled.\r\n", "ERROR: OpenSCManager failed (5)\n\r\n", ""},
    };
    for (const Step& step : steps) {
        std::vector<std::string> args = prefix;
        args.insert(args.end(), step.args.begin(), step.args.end());
        SCOPED_TRACE(step.args[0]);
        CommandResult r = RunCommand(program, args,
                                     {{"VEXA_SERVICE_UNIT_DIR", units},
                                      {"VEXA_SYSTEMCTL", SourceDir() + "/tests/integration/service/"
                                                                       "fake_systemctl"},
                                      {"FAKE_SYSTEMCTL_STATE", state}},
                                     dir.path());
        EXPECT_EQ(r.status, step.status);
        EXPECT_EQ(r.out, step.out);
        EXPECT_EQ(r.err, step.err);
    }
    EXPECT_EQ(NewCalls(), "");
    EXPECT_TRUE(Exists(unitFile));
    chmod(units.c_str(), 0755);
}

}  // namespace
