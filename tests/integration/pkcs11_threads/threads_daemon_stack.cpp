// The concurrency suite through a real vexa-daemon: one slot, TLS on
// loopback, relayed to one device of a real vexa-sim. All eight threads
// share the module's one connection to the daemon.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>

#include "integration/pkcs11_threads/threads_suite.h"
#include "integration/tls/test_env.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vexa::test {
namespace {

constexpr const char* kSerial = "56455841A0A0";

class DaemonStack : public ::testing::Environment {
public:
    void SetUp() override {
        work_ = std::make_unique<TempDir>();
        sim_ = std::make_unique<CSimProcess>(work_->path(),
                                             std::vector<std::string>{"--serial", kSerial});
        ASSERT_TRUE(sim_->ready()) << sim_->process().err();
        daemon_ = std::make_unique<CDaemonProcess>(work_->path(), kSerial, sim_->socket());
        ASSERT_TRUE(daemon_->ready()) << daemon_->problem();

        moduleDir_ = std::make_unique<TempDir>();
        WriteFile(moduleDir_->file("vexaconfig.json"),
                  "{" + daemon_->moduleTransport() +
                      R"(, "logging": {"loglevel": 10, "logfile": ")" +
                      moduleDir_->file("module.log") + R"("}})");
        ASSERT_EQ(chdir(moduleDir_->path().c_str()), 0);
        setenv("HOME", moduleDir_->path().c_str(), 1);
        unsetenv("VEXA_VIRTUAL_DEVICE");
        module_ = std::make_unique<CLoadedModule>();
    }
    void TearDown() override {
        module_.reset();
        daemon_.reset();
        sim_.reset();
        moduleDir_.reset();
        work_.reset();
    }

    std::unique_ptr<TempDir> work_;
    std::unique_ptr<CSimProcess> sim_;
    std::unique_ptr<CDaemonProcess> daemon_;
    std::unique_ptr<TempDir> moduleDir_;
    std::unique_ptr<CLoadedModule> module_;
};

DaemonStack* const stack =
    static_cast<DaemonStack*>(::testing::AddGlobalTestEnvironment(new DaemonStack));

}  // namespace

CLoadedModule* ThreadsModule() {
    return stack->module_.get();
}

size_t ThreadsSlotCount() {
    return 1;
}

}  // namespace vexa::test
