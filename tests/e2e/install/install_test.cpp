// `cmake --install` of this build: every file where the system looks for
// it, the unit and the p11-kit registration naming the installed files, and
// p11-kit (its list of modules, its proxy module, p11tool without a
// provider) finding the module and the virtual tokens through the
// registration.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "e2e/support/token_stack.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vexa::e2e {
namespace {

const std::string kModuleDir = VEXA_INSTALL_P11_MODULE_DIR;
const std::string kConfigDir = VEXA_INSTALL_P11_CONFIG_DIR;

// Runs cmake --install of this build; its output.
RunResult Install(const std::string& prefix, const std::string& destdir = "") {
    return test::RunCommand(VEXA_CMAKE_COMMAND, {"--install", VEXA_BUILD_DIR, "--prefix", prefix},
                            {{"DESTDIR", destdir}});
}

bool IsExecutable(const std::string& path) {
    return access(path.c_str(), X_OK) == 0;
}

// One line of a command's standard output, without the line end.
std::string FirstLine(const std::string& command) {
    const std::string out = test::RunShell(command).out;
    std::string line = out.substr(0, out.find('\n'));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

TEST(Install, PutsEveryFileUnderThePrefix) {
    test::TempDir root;
    const std::string prefix = root.path() + "/prefix";
    const RunResult result = Install(prefix);
    ASSERT_EQ(result.status, 0) << result.all();

    const std::string module = prefix + "/" + kModuleDir + "/libvexa-pkcs11.so";
    EXPECT_TRUE(IsExecutable(prefix + "/bin/vexa-daemon"));
    EXPECT_TRUE(IsExecutable(prefix + "/bin/vexa-sim"));
    EXPECT_FALSE(ReadFile(module).empty()) << module;
    for (const char* file :
         {"/lib/udev/rules.d/70-vexa.rules", "/lib/sysusers.d/vexa.conf",
          "/share/doc/vexa/README.md", "/share/doc/vexa/examples/vexa-daemon.json",
          "/share/doc/vexa/examples/vexaconfig.json"}) {
        EXPECT_FALSE(ReadFile(prefix + file).empty()) << file;
    }
    // Outside /usr the unit and the registration name the installed files.
    EXPECT_NE(ReadFile(prefix + "/lib/systemd/system/vexa-daemon.service")
                  .find("ExecStart=\"" + prefix + "/bin/vexa-daemon\" service\n"),
              std::string::npos);
    EXPECT_NE(ReadFile(prefix + "/" + kConfigDir + "/vexa.module").find("module: " + module + "\n"),
              std::string::npos);
    // The example configurations are JSON.
    for (const char* example : {"vexa-daemon.json", "vexaconfig.json"}) {
        const std::string path = prefix + "/share/doc/vexa/examples/" + example;
        EXPECT_EQ(test::RunShell("/usr/bin/python3 -m json.tool '" + path + "' >/dev/null").status,
                  0)
            << path;
    }
}

TEST(Install, StagedUnderUsrLandsInTheSystemDirectories) {
    test::TempDir stage;
    const RunResult result = Install("/usr", stage.path());
    ASSERT_EQ(result.status, 0) << result.all();

    // Where p11-kit looks on this system.
    const std::string modulePath = FirstLine("pkg-config p11-kit-1 --variable=p11_module_path");
    const std::string configs = FirstLine("pkg-config p11-kit-1 --variable=p11_module_configs");
    ASSERT_FALSE(modulePath.empty());
    EXPECT_FALSE(ReadFile(stage.path() + modulePath + "/libvexa-pkcs11.so").empty());
    // Under /usr the files of packaging/ go in unchanged.
    const std::string packaging = std::string(getenv("VEXA_SOURCE_DIR")) + "/packaging/";
    EXPECT_EQ(ReadFile(stage.path() + configs + "/vexa.module"),
              ReadFile(packaging + "vexa.module"));
    EXPECT_EQ(ReadFile(stage.path() + "/usr/lib/systemd/system/vexa-daemon.service"),
              ReadFile(packaging + "vexa-daemon.service"));
    EXPECT_TRUE(IsExecutable(stage.path() + "/usr/bin/vexa-daemon"));
}

// p11-kit reads a user's registrations from ~/.config/pkcs11/modules, but
// not for root: as root, the clients run as nobody.
std::vector<std::string> AsUser(std::vector<std::string> command) {
    if (getuid() != 0) {
        return command;
    }
    command.insert(command.begin(),
                   {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    return command;
}

TEST(Install, P11KitFindsTheInstalledModuleAndItsTokens) {
    if (!test::kToolCanLoadModule) {
        GTEST_SKIP() << "p11-kit cannot load a module built with a sanitizer";
    }
    CTokenStack stack(Link::Hid);
    ASSERT_TRUE(stack.ready()) << stack.problem();
    const std::string prefix = stack.file("prefix");
    const RunResult installed = Install(prefix);
    ASSERT_EQ(installed.status, 0) << installed.all();

    // The registration as a user's own, in the stack's HOME.
    const std::string userModules = stack.dir() + "/.config/pkcs11/modules";
    ASSERT_EQ(test::RunShell("mkdir -p '" + userModules + "' && cp '" + prefix + "/" + kConfigDir +
                             "/vexa.module' '" + userModules + "/'")
                  .status,
              0);
    // Everything the clients need is readable (and the socket writable) for
    // the unprivileged user.
    const std::string socket = stack.simSocket();
    ASSERT_EQ(chmod(socket.substr(0, socket.rfind('/')).c_str(), 0755), 0);
    ASSERT_EQ(chmod(socket.c_str(), 0666), 0);
    ASSERT_EQ(test::RunShell("chmod -R a+rX '" + stack.dir() + "'").status, 0);

    auto run = [&](std::vector<std::string> command) {
        command = AsUser(std::move(command));
        const std::string program = command.front();
        command.erase(command.begin());
        return stack.run(program, command);
    };
    const RunResult modules = run({"/usr/bin/p11-kit", "list-modules"});
    EXPECT_EQ(modules.status, 0) << modules.all();
    EXPECT_NE(modules.out.find("vexa: " + prefix + "/" + kModuleDir + "/libvexa-pkcs11.so"),
              std::string::npos)
        << modules.all();
    EXPECT_NE(modules.out.find("library-description: Talvoranth PKCS11 Library"), std::string::npos)
        << modules.all();
    EXPECT_NE(modules.out.find("serial-number: " + stack.serial(1)), std::string::npos)
        << modules.all();

    const RunResult proxy =
        run({"/usr/bin/pkcs11-tool", "--module",
             FirstLine("pkg-config p11-kit-1 --variable=proxy_module"), "--list-token-slots"});
    EXPECT_EQ(proxy.status, 0) << proxy.all();
    for (size_t slot = 0; slot < stack.slotCount(); ++slot) {
        EXPECT_NE(proxy.out.find("serial num         : " + stack.serial(slot)), std::string::npos)
            << proxy.all();
    }

    const RunResult tokens = run({"/usr/bin/p11tool", "--list-tokens"});
    EXPECT_NE(tokens.out.find("serial=" + stack.serial(0) + ";token=Vexa%20Token"),
              std::string::npos)
        << tokens.all();
}

}  // namespace
}  // namespace vexa::e2e
