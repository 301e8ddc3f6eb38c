// The operating-system layer as every other directory uses it, on the
// system the tests run on (Linux, or Windows under Wine): paths, the
// environment, threads and clocks, the manual-reset event and the work
// item that runs the service's server.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/manual_reset_event.h"
#include "platform/platform.h"
#include "platform/work_item.h"

namespace vexa::platform {
namespace {

constexpr bool kWindows = kDirectorySeparator == '\\';

TEST(Platform, AbsolutePathRuleOfTheSystem) {
    struct Case {
        const char* path;
        bool onLinux;
        bool onWindows;
    };
    const Case cases[] = {
        {"", true, true},
        {"ab", true, true},
        {"/etc/ssl/ca.pem", true, true},
        {"certs/ca.pem", false, false},
        {"C:\\vexa\\ca.pem", false, true},
        {"c:ca.pem", false, true},
        {"\\\\server\\share\\ca.pem", false, true},
        {"\\vexa\\ca.pem", false, true},
        {"..\\ca.pem", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isAbsolutePath(c.path), kWindows ? c.onWindows : c.onLinux) << c.path;
    }
    EXPECT_TRUE(isDirectorySeparator(kDirectorySeparator));
    EXPECT_EQ(isDirectorySeparator('/'), true);
    EXPECT_EQ(isDirectorySeparator('\\'), kWindows);
}

TEST(Platform, ExecutableAndWorkingDirectoriesEndInTheSeparator) {
    const std::string executable = executablePath();
    ASSERT_FALSE(executable.empty());
    EXPECT_TRUE(std::filesystem::exists(executable)) << executable;
    EXPECT_NE(executable.find("platform_test"), std::string::npos) << executable;
    const std::string directory = executableDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(directory.back(), kDirectorySeparator);
    EXPECT_EQ(executable.rfind(directory, 0), 0u) << directory;
    const std::string cwd = workingDirectory();
    ASSERT_FALSE(cwd.empty());
    EXPECT_EQ(cwd.back(), kDirectorySeparator);
    EXPECT_TRUE(std::filesystem::is_directory(cwd)) << cwd;
}

TEST(Platform, EnvironmentVariablesAreSetAndRemoved) {
    const char* name = "VEXA_PLATFORM_TEST_VARIABLE";
    ASSERT_TRUE(setEnvironment(name, "one value"));
    ASSERT_NE(environment(name), nullptr);
    EXPECT_STREQ(environment(name), "one value");
    ASSERT_TRUE(unsetEnvironment(name));
    EXPECT_EQ(environment(name), nullptr);
}

TEST(Platform, ThreadIdsDifferAndTheClockRuns) {
    const uint64_t mine = currentThreadId();
    uint64_t other = mine;
    std::thread([&] { other = currentThreadId(); }).join();
    EXPECT_NE(mine, 0u);
    EXPECT_NE(other, mine);
    const int64_t before = monotonicNanoseconds();
    sleepMilliseconds(20);
    const int64_t elapsed = monotonicNanoseconds() - before;
    EXPECT_GE(elapsed, 15000000);  // a sleep never ends early by more than the clock's grain
    EXPECT_GT(unixTimeSeconds(), 1700000000);
}

TEST(ManualResetEvent, StaysSignalledForEveryWaiterUntilReset) {
    ManualResetEvent event;
    EXPECT_FALSE(event.isSet());
    std::atomic<int> passed{0};
    std::thread first([&] {
        event.wait();
        ++passed;
    });
    std::thread second([&] {
        event.wait();
        ++passed;
    });
    event.set();
    first.join();
    second.join();
    EXPECT_EQ(passed, 2);
    EXPECT_TRUE(event.isSet());
    event.wait();  // a later waiter passes too
    event.reset();
    EXPECT_FALSE(event.isSet());
    EXPECT_TRUE(ManualResetEvent(true).isSet());
}

TEST(WorkItem, RunsOnAnotherThreadAndIsWaitedFor) {
    WorkItem item;
    EXPECT_FALSE(item.started());
    item.wait();  // nothing started: returns at once

    ManualResetEvent release;
    std::atomic<bool> done{false};
    uint64_t workerThread = 0;
    ASSERT_EQ(item.start([&] {
        workerThread = currentThreadId();
        release.wait();
        done = true;
    }),
              kErrorSuccess);
    EXPECT_TRUE(item.started());
    EXPECT_EQ(item.start([] {}), kErrorServiceAlreadyRunning);
    release.set();
    item.wait();
    EXPECT_TRUE(done);
    EXPECT_NE(workerThread, currentThreadId());
    EXPECT_FALSE(item.started());

    // An exception stays inside the item; it can be started again.
    ASSERT_EQ(item.start([] { throw 42; }), kErrorSuccess);
    item.wait();
    ASSERT_EQ(item.start([&] { done = false; }), kErrorSuccess);
}  // the destructor waits for the last one

}  // namespace
}  // namespace vexa::platform
