// The device lock with real kernel locks on a real file. Two openings of
// one file stand for two processes: the locks belong to the open file, so
// they see each other as they would across processes.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/device_lock.h"
#include "support/temp_dir.h"

namespace vexa::platform {
namespace {

using Presence = DeviceLock::Presence;

class DeviceLockTest : public ::testing::Test {
protected:
    std::unique_ptr<DeviceLock> open() {
        std::string error;
        std::unique_ptr<DeviceLock> lock = DeviceLock::open(path_, true, error);
        EXPECT_NE(lock, nullptr) << error;
        return lock;
    }

    vexa::test::TempDir temp_{"vexa-lock"};
    std::string dir_ = temp_.path();
    std::string path_ = temp_.file("device.lock");
};

TEST_F(DeviceLockTest, FirstUserIsAloneUntilItSharesThenOthersJoin) {
    std::unique_ptr<DeviceLock> first = open();
    std::unique_ptr<DeviceLock> second = open();
    EXPECT_EQ(first->join(false, 0), Presence::Alone);
    // Still exclusive: a newcomer waits and gives up.
    EXPECT_EQ(second->join(false, 30), Presence::Busy);
    first->share();
    EXPECT_EQ(second->join(false, 0), Presence::Shared);
    // Nobody can now hold the device alone.
    std::unique_ptr<DeviceLock> daemon = open();
    EXPECT_EQ(daemon->join(true, 30), Presence::Busy);
    // Users that go (closing, or dying) release it.
    first.reset();
    second.reset();
    EXPECT_EQ(daemon->join(true, 0), Presence::Alone);
    EXPECT_EQ(open()->join(false, 30), Presence::Busy);
}

TEST_F(DeviceLockTest, ExchangesExcludeEachOtherAndEndWithTheirHolder) {
    std::unique_ptr<DeviceLock> first = open();
    std::unique_ptr<DeviceLock> second = open();
    EXPECT_TRUE(first->lockExchange(0));
    EXPECT_TRUE(first->lockExchange(0));  // held already
    EXPECT_FALSE(second->lockExchange(30));
    first->unlockExchange();
    EXPECT_TRUE(second->lockExchange(0));
    EXPECT_FALSE(first->lockExchange(30));
    second.reset();
    EXPECT_TRUE(first->lockExchange(0));
}

#ifndef _WIN32
TEST_F(DeviceLockTest, KilledHoldersLockIsReleasedByTheKernel) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string error;
        std::unique_ptr<DeviceLock> lock = DeviceLock::open(path_, true, error);
        const bool held = lock && lock->join(true, 0) == Presence::Alone && lock->lockExchange(0);
        const char byte = held ? '1' : '0';
        (void)!::write(ready[1], &byte, 1);
        ::pause();
        std::_Exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(byte, '1');
    std::unique_ptr<DeviceLock> lock = open();
    EXPECT_EQ(lock->join(false, 30), Presence::Busy);
    EXPECT_FALSE(lock->lockExchange(30));
    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    EXPECT_EQ(lock->join(false, 0), Presence::Alone);
    EXPECT_TRUE(lock->lockExchange(0));
}

TEST_F(DeviceLockTest, AMissingDeviceNodeIsNotCreated) {
    std::string error;
    EXPECT_EQ(DeviceLock::open(dir_ + "/hidraw9", false, error), nullptr);
    EXPECT_NE(error.find("hidraw9"), std::string::npos) << error;
    EXPECT_NE(::access((dir_ + "/hidraw9").c_str(), F_OK), 0);
}

// A lock file one user made must be lockable by the others: it is made
// open to all, whatever the umask.
TEST_F(DeviceLockTest, AMadeLockFileIsOpenToEveryUser) {
    const mode_t old = ::umask(077);
    std::unique_ptr<DeviceLock> lock = open();
    ::umask(old);
    struct stat info {};
    ASSERT_EQ(::stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666u);
    EXPECT_EQ(open()->join(false, 0), Presence::Alone);
}
#else
// A device interface cannot be locked itself: its lock is a file named
// after it in the shared directory, the same for every opener, and two
// devices do not share one.
TEST_F(DeviceLockTest, DeviceInterfacesAreLockedThroughSharedFiles) {
    const std::string device = "\\\\?\\hid#vid_1209&pid_0001#vexa-lock-test";
    std::string error;
    std::unique_ptr<DeviceLock> first = DeviceLock::open(device, false, error);
    ASSERT_NE(first, nullptr) << error;
    std::unique_ptr<DeviceLock> again = DeviceLock::open(device, false, error);
    std::unique_ptr<DeviceLock> other = DeviceLock::open(device + "x", false, error);
    ASSERT_NE(again, nullptr) << error;
    ASSERT_NE(other, nullptr) << error;
    EXPECT_EQ(first->join(true, 0), Presence::Alone);
    EXPECT_EQ(again->join(false, 30), Presence::Busy);
    EXPECT_EQ(other->join(true, 0), Presence::Alone);
}
#endif

}  // namespace
}  // namespace vexa::platform
