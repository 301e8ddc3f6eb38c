// CHIDTransport on a device that other processes share (scripted devices,
// real kernel locks on a real lock file: two transports stand for two
// processes), and the recovery from a late answer in each framing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "support/temp_dir.h"
#include "transport/hid_transport.h"
#include "unit/hid/fake_hid.h"

namespace {

using namespace hidtest;
using talvoranth::CHIDTransport;
using talvoranth::IOException;

const Bytes kAbc{0x61, 0x62, 0x63};
const Bytes kXyz{0x78, 0x79, 0x7A};

// One process's view of the device: its own scripted opening, the shared
// lock file, and the number of times it cleared the device.
struct Process {
    std::shared_ptr<FakeHid> hid = std::make_shared<FakeHid>();
    RecordingLog log;
    std::unique_ptr<CHIDTransport> transport;
    int clears = 0;

    explicit Process(const std::string& lockFile) {
        hid->records = {vexaRecord("/fake/0", L"0123456789AB")};
        hid->lockFile = lockFile;
        transport = std::make_unique<CHIDTransport>(&log, std::make_shared<FakeBackend>(hid));
        transport->setSerialNumber("0123456789AB");
        transport->setTimeout(1000);
        transport->setClearRoutine([this](CHIDTransport&) { ++clears; });
    }
    // Opens in plain framing (the allocation goes unanswered).
    void openPlain() {
        transport->open();
        hid->writes.clear();
        hid->readWaits.clear();
    }
    void write(const Bytes& message) {
        transport->write(message.data(), static_cast<int>(message.size()));
    }
    Bytes read() {
        Bytes buffer(2048);
        buffer.resize(static_cast<size_t>(transport->read(buffer.data(), 2048)));
        return buffer;
    }
};

class SharedHidDevice : public ::testing::Test {
protected:
    vexa::test::TempDir dir_{"vexa-sharedhid"};
    std::string lockFile_ = dir_.file("device.lock");
};

TEST_F(SharedHidDevice, OnlyAnOpenerThatIsAloneClearsAndExchangesTakeTurns) {
    auto a = std::make_unique<Process>(lockFile_);
    Process b(lockFile_);
    a->openPlain();
    b.openPlain();
    EXPECT_EQ(a->clears, 1);
    EXPECT_EQ(b.clears, 0);  // a holds the device: its sessions stay

    // a's request and answer are one step: b's request waits, then fails.
    a->write(kAbc);
    b.transport->setTimeout(50);
    try {
        b.write(kXyz);
        ADD_FAILURE() << "no exception";
    } catch (const IOException& e) {
        EXPECT_STREQ(e.what(), "Device busy: another process's exchange did not end in time");
    }
    EXPECT_TRUE(b.hid->writes.empty());
    EXPECT_TRUE(b.transport->isOpen());
    a->hid->reads.push_back(ReadStep::data(plainReport(65, 0, kAbc, 3)));
    EXPECT_EQ(a->read(), kAbc);
    b.write(kXyz);
    b.hid->reads.push_back(ReadStep::data(plainReport(65, 0, kXyz, 3)));
    EXPECT_EQ(b.read(), kXyz);

    // With both gone (closed, or dead), the next opener is alone again.
    a.reset();
    b.transport->close();
    Process c(lockFile_);
    c.openPlain();
    EXPECT_EQ(c.clears, 1);
}

TEST_F(SharedHidDevice, AnExclusiveOpenerWaitsForOthersAndKeepsThemOut) {
    Process a(lockFile_);
    a.openPlain();
    Process daemon(lockFile_);
    daemon.transport->setExclusive(true);
    daemon.transport->setTimeout(50);
    EXPECT_THROW(daemon.openPlain(), IOException);
    EXPECT_FALSE(daemon.transport->isOpen());
    a.transport->close();
    daemon.openPlain();
    EXPECT_EQ(daemon.clears, 1);
    Process late(lockFile_);
    late.transport->setTimeout(50);
    try {
        late.openPlain();
        ADD_FAILURE() << "no exception";
    } catch (const IOException& e) {
        EXPECT_STREQ(e.what(), "Device in use by another process");
    }
}

// hidraw hands every report to every process that has the node open.
TEST_F(SharedHidDevice, ReportsWaitingBeforeARequestAreNotTakenForItsAnswer) {
    Process a(lockFile_);
    a.openPlain();
    a.hid->reads = {ReadStep::data(plainReport(65, 0, kXyz, 3)),  // another's answer
                    ReadStep::timeout(),                          // nothing more waiting
                    ReadStep::data(plainReport(65, 0, kAbc, 3))};
    a.write(kAbc);
    EXPECT_EQ(a.read(), kAbc);
    EXPECT_EQ(a.hid->readWaits, (std::vector<int>{0, 0, 1000}));
}

// Plain framing: the late answer, or the rest of one cut short, is awaited
// within the call that timed out, before another process may send its
// request; once it is whole nothing more is waited for.
TEST_F(SharedHidDevice, PlainLateAnswerIsDiscardedBeforeTheDeviceIsLetGo) {
    struct Case {
        const char* name;
        std::vector<ReadStep> reads;  // after the drain before the request
    };
    const std::vector<Case> cases = {
        {"whole answer late",
         {ReadStep::timeout(), ReadStep::data(plainReport(65, 0, iota(70), 70)),
          ReadStep::data(plainReport(65, 1, Bytes(10, 0x46)))}},
        {"answer cut short",
         {ReadStep::data(plainReport(65, 0, iota(70), 70)), ReadStep::timeout(),
          ReadStep::data(plainReport(65, 1, Bytes(10, 0x46)))}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Process a(lockFile_);
        a.openPlain();
        a.hid->reads = {ReadStep::timeout()};  // the drain: nothing waiting
        a.hid->reads.insert(a.hid->reads.end(), c.reads.begin(), c.reads.end());
        a.hid->reads.push_back(ReadStep::data(plainReport(65, 0, kXyz, 3)));  // not its own
        a.write(kAbc);
        a.read();
        ASSERT_EQ(a.hid->reads.size(), 1u) << "the late answer was left for the next request";
        a.hid->reads = {ReadStep::timeout(), ReadStep::data(plainReport(65, 0, kXyz, 3))};
        a.write(kXyz);
        EXPECT_EQ(a.read(), kXyz);
    }
}

// Channel framing: after a time-out the next request goes on a fresh
// channel, whose allocation is answered after the late answer; packets of
// the old channel are skipped.
TEST(HidLateAnswer, ChannelFramingMovesToAFreshChannel) {
    auto hid = std::make_shared<FakeHid>();
    hid->records = {vexaRecord("/fake/0", L"0123456789AB")};
    RecordingLog log;
    CHIDTransport transport(&log, std::make_shared<FakeBackend>(hid));
    transport.setSerialNumber("0123456789AB");
    transport.setTimeout(1000);
    constexpr uint32_t kOld = 0x01020304;
    constexpr uint32_t kNew = 0x05060708;
    hid->reads.push_back(ReadStep::answer(allocationAnswer(kOld)));
    transport.open();
    ASSERT_TRUE(transport.channelFraming());

    transport.write(kAbc.data(), 3);
    Bytes buffer(2048);
    EXPECT_EQ(transport.read(buffer.data(), 2048), 0);  // every read times out

    hid->writes.clear();
    for (const Bytes& late : u2fMessage(kOld, iota(3))) {
        hid->reads.push_back(ReadStep::data(late));
    }
    hid->reads.push_back(ReadStep::answer(allocationAnswer(kNew)));
    for (const Bytes& answer : u2fMessage(kNew, kXyz)) {
        hid->reads.push_back(ReadStep::data(answer));
    }
    transport.write(kXyz.data(), 3);
    ASSERT_EQ(hid->writes.size(), 2u);
    EXPECT_EQ(hid->writes[0][5], 0x86);  // the allocation first
    EXPECT_EQ(Bytes(hid->writes[1].begin() + 1, hid->writes[1].begin() + 5),
              (Bytes{0x05, 0x06, 0x07, 0x08}));  // then the request on the new channel
    ASSERT_EQ(transport.read(buffer.data(), 2048), 3);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 3), kXyz);
}

}  // namespace
