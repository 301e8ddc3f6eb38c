#include "e2e/support/token_stack.h"

#include <chrono>
#include <fstream>
#include <sstream>

namespace vexa::e2e {
namespace {

// Generous: the machine running the suite may be loaded.
constexpr auto kClientTimeout = std::chrono::seconds(120);

// The module logs warnings and errors into "module.log"; its time-out keeps
// a client that waits for a busy daemon (it serves one client at a time)
// from waiting long.
test::StackOptions ClientStackOptions(Link link, const std::vector<std::string>& simOptions) {
    test::StackOptions options;
    options.devices = link == Link::Hid ? 2 : 1;
    options.simOptions = simOptions;
    options.logLevel = 40;
    options.moduleConfig = R"("timeout": 3000)";
    return options;
}

}  // namespace

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

CTokenStack::CTokenStack(Link link, const std::vector<std::string>& simOptions)
    : stack_(link, ClientStackOptions(link, simOptions)) {}

std::string CTokenStack::moduleLog() const {
    return ReadFile(file("module.log"));
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
    std::map<std::string, std::string> env = stack_.environment();
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
