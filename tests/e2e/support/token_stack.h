// The whole system as a real client meets it: a running vexa-sim and, for
// the daemon link, a vexa-daemon serving TLS on loopback for one of its
// devices, with a "vexaconfig.json" that points the module at it. Clients
// run as separate processes in the stack's directory, with HOME there too,
// so that the module reads only the stack's configuration.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "integration/pkcs11/module_under_test.h"
#include "integration/tls/test_env.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vexa::e2e {

// How the module reaches the device.
enum class Link {
    Hid,     // directly over (virtual) USB HID: two devices, two slots
    Daemon,  // over TLS through vexa-daemon: one device, one slot
};

// "Hid" or "Daemon", for test names.
std::string LinkName(Link link);

constexpr const char* kUserPin = "123456";
constexpr const char* kSoPin = "12345678";

// What a client program did.
using RunResult = test::CommandResult;
using test::CountOf;

class CTokenStack {
public:
    // simOptions go to vexa-sim after the stack's own (e.g. "--framing",
    // "plain").
    explicit CTokenStack(Link link, const std::vector<std::string>& simOptions = {});
    ~CTokenStack();
    CTokenStack(const CTokenStack&) = delete;
    CTokenStack& operator=(const CTokenStack&) = delete;

    // False (with the reason in problem()) when a piece did not start.
    bool ready() const { return problem_.empty(); }
    const std::string& problem() const { return problem_; }

    Link link() const { return link_; }
    // Slots the module shows: 2 directly, 1 through the daemon.
    size_t slotCount() const { return link_ == Link::Hid ? 2 : 1; }
    // Serial number of the device behind slot i.
    std::string serial(size_t slot) const;
    // The clients' working directory (holds "vexaconfig.json").
    const std::string& dir() const { return clientDir_.path(); }
    std::string file(const std::string& name) const { return clientDir_.file(name); }
    std::string modulePath() const { return test::ModulePath(); }
    // The simulator's socket (what VEXA_VIRTUAL_DEVICE names).
    std::string simSocket() const { return sim_->socket(); }
    // What vexa-daemon wrote to standard error so far ("" without one).
    std::string daemonErrors() const;
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
    int daemonPort() const;
    pid_t daemonPid() const;
    std::string daemonCaFile() const;
    // pkcs11-tool with the module.
    RunResult pkcs11Tool(const std::vector<std::string>& args) const;
    // A shell command line (sh -c) in the stack's directory and environment.
    RunResult shell(const std::string& command) const;

private:
    std::map<std::string, std::string> environment() const;

    Link link_;
    std::string problem_;
    test::TempDir workDir_;    // simulator socket, certificates, daemon
    test::TempDir clientDir_;  // the clients' working directory and HOME
    std::unique_ptr<test::CSimProcess> sim_;
    std::unique_ptr<test::CDaemonProcess> daemon_;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

}  // namespace vexa::e2e
