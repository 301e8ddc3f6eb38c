#include "e2e/support/token_stack.h"

#include <chrono>
#include <fstream>
#include <sstream>

namespace vexa::e2e {
namespace {

// Serial numbers the simulator gives its devices by default.
constexpr const char* kSerials[] = {"564558410001", "564558410002"};

// Generous: the machine running the suite may be loaded.
constexpr auto kClientTimeout = std::chrono::seconds(120);

}  // namespace

std::string LinkName(Link link) {
    return link == Link::Hid ? "Hid" : "Daemon";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

CTokenStack::CTokenStack(Link link, const std::vector<std::string>& simOptions) : link_(link) {
    // 1. The virtual devices.
    std::vector<std::string> options = {"--devices", link == Link::Hid ? "2" : "1"};
    options.insert(options.end(), simOptions.begin(), simOptions.end());
    sim_ = std::make_unique<test::CSimProcess>(workDir_.path(), options);
    if (!sim_->ready()) {
        problem_ = "vexa-sim did not start: " + sim_->process().err();
        return;
    }

    // 2. The module's configuration: its log, and for the daemon link the
    //    daemon's address and the CA that its certificate must verify
    //    against. The time-out keeps a client that waits for a busy daemon
    //    (it serves one client at a time) from waiting long.
    std::string config = R"({"logging": {"enabled": true, "loglevel": 40, "logfile": ")" +
                         file("module.log") + R"("}, "timeout": 3000)";
    if (link == Link::Daemon) {
        // 3. A throw-away PKI and the daemon for the first device.
        daemon_ =
            std::make_unique<test::CDaemonProcess>(workDir_.path(), kSerials[0], sim_->socket());
        if (!daemon_->ready()) {
            problem_ = daemon_->problem();
            return;
        }
        config += ", " + daemon_->moduleTransport();
    }
    test::WriteFile(file("vexaconfig.json"), config + "}\n");
}

CTokenStack::~CTokenStack() {
    // The daemon first: it holds a connection to the simulator.
    daemon_.reset();
    sim_.reset();
}

std::string CTokenStack::serial(size_t slot) const {
    return slot < slotCount() ? kSerials[slot] : "";
}

std::string CTokenStack::daemonErrors() const {
    return daemon_ ? daemon_->process().err() : "";
}

std::string CTokenStack::moduleLog() const {
    return ReadFile(file("module.log"));
}

std::map<std::string, std::string> CTokenStack::environment() const {
    std::map<std::string, std::string> env = {{"HOME", dir()}};
    // Through the daemon, only the daemon reaches the simulator.
    env["VEXA_VIRTUAL_DEVICE"] = link_ == Link::Hid ? sim_->socket() : "";
    return env;
}

int CTokenStack::daemonPort() const {
    return daemon_ ? daemon_->port() : 0;
}

pid_t CTokenStack::daemonPid() const {
    return daemon_ ? daemon_->process().pid() : -1;
}

std::string CTokenStack::daemonCaFile() const {
    return daemon_ ? daemon_->pki().caCert : std::string();
}

RunResult CTokenStack::run(const std::string& program, const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& extraEnv) const {
    std::unique_ptr<test::ChildProcess> child = start(program, args, extraEnv);
    RunResult result;
    const std::optional<int> status = child->waitExit(kClientTimeout);
    result.status = status.value_or(-1);
    if (!status) {
        child->stop();
    }
    result.out = child->out();
    result.err = child->err();
    return result;
}

std::unique_ptr<test::ChildProcess> CTokenStack::start(
    const std::string& program, const std::vector<std::string>& args,
    const std::map<std::string, std::string>& extraEnv) const {
    std::map<std::string, std::string> env = environment();
    for (const auto& [name, value] : extraEnv) {
        env[name] = value;
    }
    // Clients read nothing: one that prompts finds the end of its input
    // (a child's standard input is /dev/null).
    return std::make_unique<test::ChildProcess>(program, args, env, dir());
}

RunResult CTokenStack::pkcs11Tool(const std::vector<std::string>& args) const {
    std::vector<std::string> all = {"--module", modulePath()};
    all.insert(all.end(), args.begin(), args.end());
    return run("/usr/bin/pkcs11-tool", all);
}

RunResult CTokenStack::shell(const std::string& command) const {
    return run("/bin/sh", {"-c", command});
}

}  // namespace vexa::e2e
