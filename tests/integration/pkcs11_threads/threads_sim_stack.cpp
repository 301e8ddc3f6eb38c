// The concurrency suite straight to vexa-sim: two simulated devices reached
// over the virtual HID link, one slot each.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "integration/pkcs11_threads/threads_suite.h"
#include "integration/tls/test_env.h"
#include "support/temp_dir.h"

namespace vexa::test {
namespace {

class SimStack : public ::testing::Environment {
public:
    void SetUp() override {
        work_ = std::make_unique<TempDir>();
        sim_ = std::make_unique<CSimProcess>(work_->path(),
                                             std::vector<std::string>{"--devices", "2"});
        ASSERT_TRUE(sim_->ready()) << sim_->process().err();
        setenv("VEXA_VIRTUAL_DEVICE", sim_->socket().c_str(), 1);
        // Every line logged, so that the threads share the log as well.
        WriteFile(work_->file("vexaconfig.json"), R"({"logging": {"loglevel": 10, "logfile": ")" +
                                                      work_->file("module.log") + R"("}})");
        ASSERT_EQ(chdir(work_->path().c_str()), 0);
        setenv("HOME", work_->path().c_str(), 1);
        module_ = std::make_unique<CLoadedModule>();
    }
    void TearDown() override {
        module_.reset();
        sim_.reset();
        work_.reset();
    }

    std::unique_ptr<TempDir> work_;
    std::unique_ptr<CSimProcess> sim_;
    std::unique_ptr<CLoadedModule> module_;
};

SimStack* const stack = static_cast<SimStack*>(::testing::AddGlobalTestEnvironment(new SimStack));

}  // namespace

CLoadedModule* ThreadsModule() {
    return stack->module_.get();
}

size_t ThreadsSlotCount() {
    return 2;
}

}  // namespace vexa::test
