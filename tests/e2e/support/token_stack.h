// The whole system as a real client meets it: the stack of one link, and
// clients run as separate processes in the module's directory, with HOME
// there too, so that the module reads only the stack's configuration.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "integration/pkcs11/module_under_test.h"
#include "integration/tls/test_env.h"
#include "support/child_process.h"
#include "support/module_stack.h"
#include "support/temp_dir.h"

namespace vexa::e2e {

using test::Link;
using test::LinkName;

constexpr const char* kUserPin = "123456";
constexpr const char* kSoPin = "12345678";

// What a client program did.
using RunResult = test::CommandResult;
using test::CountOf;

// The stack of one link as real clients meet it (test::ModuleStack: two
// devices directly over HID, one through the daemon), and the clients run
// as processes in the module's directory and environment.
class CTokenStack {
public:
    // simOptions go to vexa-sim after the stack's own (e.g. "--framing",
    // "plain").
    explicit CTokenStack(Link link, const std::vector<std::string>& simOptions = {});

    // False (with the reason in problem()) when a piece did not start.
    bool ready() const { return stack_.ready(); }
    const std::string& problem() const { return stack_.problem(); }

    Link link() const { return stack_.link(); }
    // Slots the module shows: 2 directly, 1 through the daemon.
    size_t slotCount() const { return stack_.slotCount(); }
    // Serial number of the device behind slot i.
    std::string serial(size_t slot) const { return stack_.serial(slot); }
    // The clients' working directory (holds "vexaconfig.json").
    const std::string& dir() const { return stack_.dir(); }
    std::string file(const std::string& name) const { return stack_.file(name); }
    std::string modulePath() const { return test::ModulePath(); }
    // The simulator's socket (what VEXA_VIRTUAL_DEVICE names).
    std::string simSocket() const { return stack_.simSocket(); }
    // What vexa-daemon wrote to standard error so far ("" without one).
    std::string daemonErrors() const { return stack_.daemonErrors(); }
    // Lines the module logged (WARN and above), for failure messages.
    std::string moduleLog() const;

    // Runs a client in the stack's directory and environment; extra entries
    // add to or replace the environment (an empty value removes one).
    RunResult run(const std::string& program, const std::vector<std::string>& args,
                  const std::map<std::string, std::string>& extraEnv = {}) const;
    // Starts a client in the stack's directory and environment and returns
    // at once: for clients that run alongside others, or get killed.
    std::unique_ptr<test::ChildProcess> start(
        const std::string& program, const std::vector<std::string>& args,
        const std::map<std::string, std::string>& extraEnv = {}) const;
    // The daemon link's port, process and the CA that its certificate
    // chains to (0, -1 and "" directly over HID).
    int daemonPort() const { return stack_.daemonPort(); }
    pid_t daemonPid() const { return stack_.daemonPid(); }
    std::string daemonCaFile() const { return stack_.daemonCaFile(); }
    // pkcs11-tool with the module.
    RunResult pkcs11Tool(const std::vector<std::string>& args) const;
    // A shell command line (sh -c) in the stack's directory and environment.
    RunResult shell(const std::string& command) const;

private:
    test::ModuleStack stack_;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

}  // namespace vexa::e2e
