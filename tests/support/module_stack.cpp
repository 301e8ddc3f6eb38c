#include "support/module_stack.h"

#include <unistd.h>

#include <cstdlib>

#include "integration/tls/test_env.h"

namespace vexa::test {
namespace {

// Serial numbers the simulator gives its devices by default.
const std::string kDefaultSerials[] = {"564558410001", "564558410002"};

}  // namespace

std::string LinkName(Link link) {
    return link == Link::Hid ? "Hid" : "Daemon";
}

ModuleStack::ModuleStack(Link link, const StackOptions& options)
    : link_(link),
      devices_(link == Link::Hid ? static_cast<size_t>(options.devices) : 1),
      firstSerial_(options.serial.empty() ? kDefaultSerials[0] : options.serial) {
    // 1. The virtual devices.
    std::vector<std::string> simOptions = {"--devices", std::to_string(devices_)};
    if (!options.serial.empty()) {
        simOptions.insert(simOptions.end(), {"--serial", options.serial});
    }
    simOptions.insert(simOptions.end(), options.simOptions.begin(), options.simOptions.end());
    sim_ = std::make_unique<CSimProcess>(workDir_.path(), simOptions);
    if (!sim_->ready()) {
        problem_ = "vexa-sim did not start: " + sim_->process().err();
        return;
    }

    // 2. The module's configuration; on the daemon link a throw-away PKI
    //    and the daemon for the first device, named by its "transport".
    std::vector<std::string> members;
    if (options.logLevel) {
        members.push_back(R"("logging": {"enabled": true, "loglevel": )" +
                          std::to_string(*options.logLevel) + R"(, "logfile": ")" +
                          file("module.log") + R"("})");
    }
    if (!options.moduleConfig.empty()) {
        members.push_back(options.moduleConfig);
    }
    if (link == Link::Daemon) {
        daemon_ = std::make_unique<CDaemonProcess>(workDir_.path(), firstSerial_, sim_->socket());
        if (!daemon_->ready()) {
            problem_ = daemon_->problem();
            return;
        }
        members.push_back(daemon_->moduleTransport());
    }
    std::string config;
    for (const std::string& member : members) {
        config += (config.empty() ? "{" : ", ") + member;
    }
    WriteFile(file("vexaconfig.json"), (config.empty() ? "{" : config) + "}\n");
}

ModuleStack::~ModuleStack() {
    // The daemon first: it holds a connection to the simulator.
    daemon_.reset();
    sim_.reset();
}

std::string ModuleStack::serial(size_t slot) const {
    if (slot >= slotCount()) {
        return "";
    }
    return slot == 0 ? firstSerial_ : kDefaultSerials[slot];
}

int ModuleStack::daemonPort() const {
    return daemon_ ? daemon_->port() : 0;
}

pid_t ModuleStack::daemonPid() const {
    return daemon_ ? daemon_->process().pid() : -1;
}

std::string ModuleStack::daemonCaFile() const {
    return daemon_ ? daemon_->pki().caCert : std::string();
}

std::string ModuleStack::daemonErrors() const {
    return daemon_ ? daemon_->process().err() : "";
}

std::map<std::string, std::string> ModuleStack::environment() const {
    return {{"HOME", dir()}, {"VEXA_VIRTUAL_DEVICE", link_ == Link::Hid ? simSocket() : ""}};
}

bool ModuleStack::enter() const {
    if (chdir(dir().c_str()) != 0) {
        return false;
    }
    for (const auto& [name, value] : environment()) {
        if (value.empty()) {
            unsetenv(name.c_str());
        } else {
            setenv(name.c_str(), value.c_str(), 1);
        }
    }
    return true;
}

void ModuleStackEnvironment::SetUp() {
    stack_ = std::make_unique<ModuleStack>(link_, options_);
    ASSERT_TRUE(stack_->ready()) << stack_->problem();
    ASSERT_TRUE(stack_->enter()) << stack_->dir();
    module_ = std::make_unique<CLoadedModule>();
}

void ModuleStackEnvironment::TearDown() {
    module_.reset();
    stack_.reset();
}

}  // namespace vexa::test
