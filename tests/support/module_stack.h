// The system as the module meets it, for one link: a running vexa-sim and,
// for the daemon link, a vexa-daemon serving TLS on loopback for its first
// device. The module's directory holds its "vexaconfig.json" (naming the
// daemon and its CA on the daemon link) and serves as HOME and working
// directory for whoever uses the module: a client process (environment())
// or the test process itself (enter()).
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "integration/pkcs11/module_under_test.h"
#include "support/temp_dir.h"

namespace vexa::test {

// How the module reaches the device.
enum class Link {
    Hid,     // directly over (virtual) USB HID
    Daemon,  // over TLS through vexa-daemon: one device, one slot
};

// "Hid" or "Daemon", for test names.
std::string LinkName(Link link);

struct StackOptions {
    // Devices vexa-sim presents on the HID link (the daemon link has one).
    int devices = 1;
    // Serial number of the first device; "" keeps the simulator's own.
    std::string serial;
    // Further vexa-sim options (e.g. "--framing", "plain").
    std::vector<std::string> simOptions;
    // The module logs lines of this level and above into "module.log" in
    // its directory; nothing set: the module's default.
    std::optional<int> logLevel;
    // Further members of "vexaconfig.json", e.g. R"("timeout": 3000)".
    std::string moduleConfig;
};

class ModuleStack {
public:
    ModuleStack(Link link, const StackOptions& options);
    ~ModuleStack();
    ModuleStack(const ModuleStack&) = delete;
    ModuleStack& operator=(const ModuleStack&) = delete;

    // False (with the reason in problem()) when a piece did not start.
    bool ready() const { return problem_.empty(); }
    const std::string& problem() const { return problem_; }

    Link link() const { return link_; }
    // Slots the module shows.
    size_t slotCount() const { return link_ == Link::Hid ? devices_ : 1; }
    // Serial number of the device behind slot i ("" past the last).
    std::string serial(size_t slot) const;

    // The module's directory (holds "vexaconfig.json").
    const std::string& dir() const { return moduleDir_.path(); }
    std::string file(const std::string& name) const { return moduleDir_.file(name); }
    // The simulator's socket (what VEXA_VIRTUAL_DEVICE names).
    std::string simSocket() const { return sim_->socket(); }
    // The daemon link's port, process and the CA its certificate chains to
    // (0, -1 and "" on the HID link).
    int daemonPort() const;
    pid_t daemonPid() const;
    std::string daemonCaFile() const;
    // What vexa-daemon wrote to standard error so far ("" without one).
    std::string daemonErrors() const;

    // The variables a module user needs: HOME, and VEXA_VIRTUAL_DEVICE on
    // the HID link (removed on the daemon link: only the daemon reaches the
    // simulator).
    std::map<std::string, std::string> environment() const;
    // Makes this process a module user: its working directory and the
    // variables of environment(). False when the directory cannot be
    // entered.
    bool enter() const;

private:
    Link link_;
    size_t devices_;
    std::string firstSerial_;
    std::string problem_;
    TempDir workDir_{"vexa-stack"};  // simulator socket, certificates, daemon
    TempDir moduleDir_{"vexa-module"};
    std::unique_ptr<CSimProcess> sim_;
    std::unique_ptr<CDaemonProcess> daemon_;
};

// A ModuleStack started once per test executable (the module reads its
// configuration once per process), entered by the test process, with the
// built module loaded and ready for C_Initialize.
class ModuleStackEnvironment : public ::testing::Environment {
public:
    ModuleStackEnvironment(Link link, StackOptions options)
        : link_(link), options_(std::move(options)) {}
    void SetUp() override;
    void TearDown() override;

    const ModuleStack& stack() const { return *stack_; }
    CLoadedModule* module() const { return module_.get(); }

private:
    Link link_;
    StackOptions options_;
    std::unique_ptr<ModuleStack> stack_;
    std::unique_ptr<CLoadedModule> module_;
};

// The stack of a suite executable that runs over one link: defined by the
// executable's stack file, which registers it with
// ::testing::AddGlobalTestEnvironment.
const ModuleStackEnvironment& SuiteStack();

}  // namespace vexa::test
