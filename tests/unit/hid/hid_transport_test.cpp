// CHIDTransport over a scripted backend: channel allocation, both framings
// byte for byte, the receive buffer, and every failure of the transport.
#include <gtest/gtest.h>

#include "transport/hid_transport.h"
#include "unit/hid/fake_hid.h"

namespace {

using namespace hidtest;
using talvoranth::CHIDTransport;
using talvoranth::IOException;

constexpr uint32_t kChannel = 0x01020304;
const Bytes kAbc{0x61, 0x62, 0x63};

class HidTransportTest : public ::testing::Test {
protected:
    void SetUp() override { hid->records = {vexaRecord("/fake/0", L"0123456789AB")}; }

    CHIDTransport& make() {
        transport = std::make_unique<CHIDTransport>(&log, std::make_shared<FakeBackend>(hid));
        transport->setSerialNumber("0123456789AB");
        return *transport;
    }
    // Opens with the allocation answered (channel framing) or not (plain
    // framing), then forgets what the open wrote and read.
    CHIDTransport& openChannel(uint32_t channel = kChannel) {
        hid->reads.push_back(ReadStep::answer(allocationAnswer(channel)));
        return openAndReset();
    }
    CHIDTransport& openPlain() { return openAndReset(); }

    void deliver(const std::vector<Bytes>& reports) {
        for (const Bytes& r : reports) {
            hid->reads.push_back(ReadStep::data(r));
        }
    }
    Bytes readUpTo(int capacity) {
        Bytes buffer(static_cast<size_t>(capacity));
        const int n = transport->read(buffer.data(), capacity);
        buffer.resize(static_cast<size_t>(n));
        return buffer;
    }
    void write(const Bytes& message) {
        EXPECT_EQ(transport->write(message.data(), static_cast<int>(message.size())),
                  static_cast<int>(message.size()));
    }

    std::shared_ptr<FakeHid> hid = std::make_shared<FakeHid>();
    RecordingLog log;
    std::unique_ptr<CHIDTransport> transport;

private:
    CHIDTransport& openAndReset() {
        make().open();
        hid->writes.clear();
        hid->readWaits.clear();
        log.clear();
        return *transport;
    }
};

// ---- open and channel allocation ----

TEST_F(HidTransportTest, OpenSendsAllocationAndTakesTheAssignedChannel) {
    hid->reads.push_back(ReadStep::answer(allocationAnswer(kChannel)));
    make().open();

    ASSERT_EQ(hid->writes.size(), 1u);
    const Bytes& request = hid->writes[0];
    ASSERT_EQ(request.size(), 65u);
    EXPECT_EQ(Bytes(request.begin(), request.begin() + 8),
              (Bytes{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x86, 0x00, 0x08}));
    EXPECT_EQ(hid->readWaits, std::vector<int>{250});
    EXPECT_TRUE(transport->isOpen());
    EXPECT_TRUE(transport->channelFraming());
    EXPECT_TRUE(log.has(talvoranth::LOG_DEBUG, "Opening device /fake/0"));
    EXPECT_TRUE(log.has(talvoranth::LOG_DEBUG, "u2f transport detected"));

    // Messages now travel on the assigned channel.
    write(kAbc);
    EXPECT_EQ(Bytes(hid->writes[1].begin(), hid->writes[1].begin() + 6),
              (Bytes{0x00, 0x01, 0x02, 0x03, 0x04, 0xC0}));
}

TEST_F(HidTransportTest, AllocationAnswersThatDoNotFitAreIgnored) {
    struct Case {
        const char* name;
        ReadStep answer;
    };
    const std::vector<Case> cases = {
        {"payload length 16", ReadStep::answer(allocationAnswer(kChannel, 16))},
        {"payload length 18", ReadStep::answer(allocationAnswer(kChannel, 18))},
        {"another nonce", ReadStep::answer(allocationAnswer(kChannel, 17, false))},
        {"another channel", ReadStep::data(u2fInit(kChannel, 0x86, 17, iota(17)))},
        {"another command", ReadStep::data(u2fInit(0xFFFFFFFF, 0xC0, 17, iota(17)))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hid = std::make_shared<FakeHid>();
        hid->records = {vexaRecord("/fake/0", L"0123456789AB")};
        hid->reads.push_back(c.answer);
        log.clear();
        make().open();
        EXPECT_TRUE(transport->isOpen());
        EXPECT_FALSE(transport->channelFraming());
        // The packet was skipped and the wait started again before giving up.
        EXPECT_EQ(hid->readWaits, (std::vector<int>{250, 250}));
        EXPECT_FALSE(log.has(talvoranth::LOG_DEBUG, "u2f transport detected"));
    }
}

TEST_F(HidTransportTest, AllocationThatCannotBeSentOrReadLeavesPlainFraming) {
    hid->failWriteAt = 0;
    make().open();
    EXPECT_TRUE(transport->isOpen());
    EXPECT_FALSE(transport->channelFraming());
    EXPECT_TRUE(hid->readWaits.empty());

    hid->failWriteAt = -1;
    hid->reads.push_back(ReadStep::error());
    transport->open();
    EXPECT_TRUE(transport->isOpen());
    EXPECT_FALSE(transport->channelFraming());
}

TEST_F(HidTransportTest, ReopeningRerunsTheAllocation) {
    openChannel();
    ASSERT_TRUE(transport->channelFraming());
    transport->open();  // the device no longer answers
    EXPECT_FALSE(transport->channelFraming());
    EXPECT_EQ(hid->openDevices, 1);
}

TEST_F(HidTransportTest, OpenTakesTheFirstMatchAndItsProductString) {
    hid->records = {vexaRecord("/fake/0", L"111111111111", L"Vexa"),
                    vexaRecord("/fake/1", L"0123456789AB", L"Dorvik"),
                    vexaRecord("/fake/2", L"0123456789AB", L"Vexa")};
    make().open();
    EXPECT_EQ(hid->openedPaths, std::vector<std::string>{"/fake/1"});
    EXPECT_EQ(transport->product(), "Dorvik");

    transport->setProduct("Vexa");
    transport->open();
    EXPECT_EQ(hid->openedPaths.back(), "/fake/2");
}

TEST_F(HidTransportTest, CloseKeepsFiltersAndIsHarmlessTwice) {
    openPlain();
    transport->close();
    transport->close();
    EXPECT_FALSE(transport->isOpen());
    EXPECT_EQ(hid->openDevices, 0);
    EXPECT_EQ(transport->serialNumber(), "0123456789AB");
    EXPECT_EQ(transport->name(), "HID");
    EXPECT_EQ(transport->getTimeout(), 4000);
}

// ---- the exact bytes on the wire ----

TEST_F(HidTransportTest, PlainFramingWritesTheDocumentedReport) {
    openPlain();
    write(kAbc);
    Bytes expected{0x01, 0x00, 0x03, 0x00, 0x00, 0x61, 0x62, 0x63};
    expected.resize(65, 0x00);
    ASSERT_EQ(hid->writes.size(), 1u);
    EXPECT_EQ(hid->writes[0], expected);
}

TEST_F(HidTransportTest, ChannelFramingWritesTheDocumentedReport) {
    openChannel(0x01020304);
    write(kAbc);
    Bytes expected{0x00, 0x01, 0x02, 0x03, 0x04, 0xC0, 0x00, 0x03, 0x61, 0x62, 0x63};
    expected.resize(65, 0xEE);
    ASSERT_EQ(hid->writes.size(), 1u);
    EXPECT_EQ(hid->writes[0], expected);
}

TEST_F(HidTransportTest, SixtyByteChannelMessageTakesOneContinuation) {
    openChannel();
    const Bytes message = iota(60, 1);
    write(message);
    ASSERT_EQ(hid->writes.size(), 2u);
    Bytes first{0x00, 0x01, 0x02, 0x03, 0x04, 0xC0, 0x00, 60};
    first.insert(first.end(), message.begin(), message.begin() + 57);
    EXPECT_EQ(hid->writes[0], first);
    Bytes second{0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 58, 59, 60};
    second.resize(65, 0xEE);
    EXPECT_EQ(hid->writes[1], second);
}

TEST_F(HidTransportTest, LongestChannelMessageEndsWithSequence127) {
    openChannel();
    write(iota(7609));
    ASSERT_EQ(hid->writes.size(), 129u);
    EXPECT_EQ(hid->writes.back()[5], 127);
    EXPECT_EQ(hid->writes.back()[64], static_cast<uint8_t>(7608));
}

TEST_F(HidTransportTest, PlainMessageOfReportLengthMinusFiveFitsOneReport) {
    openPlain();
    write(iota(60));
    ASSERT_EQ(hid->writes.size(), 1u);
    EXPECT_EQ(hid->writes[0][64], 59);

    hid->writes.clear();
    write(iota(61));
    ASSERT_EQ(hid->writes.size(), 2u);
    Bytes continuation{0x01, 0x01, 60};
    continuation.resize(65, 0x00);
    EXPECT_EQ(hid->writes[1], continuation);
}

TEST_F(HidTransportTest, EmptyMessages) {
    openPlain();
    write({});
    EXPECT_TRUE(hid->writes.empty());

    openChannel();
    write({});
    ASSERT_EQ(hid->writes.size(), 1u);
    EXPECT_EQ(Bytes(hid->writes[0].begin(), hid->writes[0].begin() + 9),
              (Bytes{0x00, 0x01, 0x02, 0x03, 0x04, 0xC0, 0x00, 0x00, 0xEE}));
}

TEST_F(HidTransportTest, PlainFramingUsesTheDevicesReportLength) {
    hid->outputReportLength = 33;
    openPlain();
    write(iota(40));
    ASSERT_EQ(hid->writes.size(), 2u);
    EXPECT_EQ(hid->writes[0].size(), 33u);
    EXPECT_EQ(hid->writes[1][2], 28);  // 28 bytes fit the first report
}

// ---- reading responses ----

TEST_F(HidTransportTest, PlainResponseIsAssembledFromItsReports) {
    openPlain();
    transport->setTimeout(1234);
    const Bytes response = iota(100);
    deliver({plainReport(65, 0, response, 100),
             plainReport(65, 1, Bytes(response.begin() + 60, response.end()))});
    EXPECT_EQ(readUpTo(2048), response);
    EXPECT_EQ(hid->readWaits, (std::vector<int>{1234, 1234}));
}

TEST_F(HidTransportTest, PlainSurplusIsHandedOutFirstWithoutTouchingTheDevice) {
    openPlain();
    deliver({plainReport(65, 0, iota(10), 10)});
    EXPECT_EQ(readUpTo(4), iota(4));
    const size_t readsSoFar = hid->readWaits.size();
    EXPECT_EQ(readUpTo(4), iota(4, 4));
    EXPECT_EQ(hid->readWaits.size(), readsSoFar);
    // Two bytes left: not enough, so the device is asked (and times out).
    EXPECT_EQ(readUpTo(4), iota(2, 8));
    EXPECT_EQ(hid->readWaits.size(), readsSoFar + 1);
}

TEST_F(HidTransportTest, PlainTimeOutKeepsWhatArrived) {
    openPlain();
    deliver({plainReport(65, 0, iota(60), 100)});
    EXPECT_EQ(readUpTo(2048), iota(60));
    EXPECT_EQ(readUpTo(2048), Bytes{});
}

TEST_F(HidTransportTest, PlainFirstReportWithLengthZeroEndsTheFetch) {
    openPlain();
    deliver({plainReport(65, 0, {}, 0), plainReport(65, 0, kAbc, 3)});
    EXPECT_EQ(readUpTo(16), Bytes{});
    EXPECT_EQ(hid->readWaits.size(), 1u);
}

TEST_F(HidTransportTest, PlainNewFirstReportStartsTheMessageOver) {
    openPlain();
    deliver({plainReport(65, 0, iota(60), 100), plainReport(65, 0, kAbc, 3)});
    EXPECT_EQ(readUpTo(2048), kAbc);
}

TEST_F(HidTransportTest, PlainShortReportGivesOnlyTheBytesThatArrived) {
    openPlain();
    Bytes shortReport = plainReport(65, 0, iota(60), 60);
    shortReport.resize(8);
    deliver({shortReport});
    EXPECT_EQ(readUpTo(2048), iota(3));
}

TEST_F(HidTransportTest, ChannelResponseIsAssembledSkippingOtherTraffic) {
    openChannel();
    const Bytes response = iota(130);
    std::vector<Bytes> packets = u2fMessage(kChannel, response);
    deliver({u2fCont(kChannel, 5, iota(59)),                            // stray continuation
             u2fInit(0x0A0B0C0D, 0xC0, 3, kAbc),                        // another channel
             packets[0], packets[1], u2fCont(0x0A0B0C0D, 0, iota(59)),  // another channel
             packets[2]});
    EXPECT_EQ(readUpTo(2048), response);
}

TEST_F(HidTransportTest, ChannelSurplusPacketsAreSkippedByTheNextFetch) {
    openChannel();
    std::vector<Bytes> first = u2fMessage(kChannel, iota(150));
    std::vector<Bytes> second = u2fMessage(kChannel, kAbc);
    deliver(first);
    deliver(second);
    EXPECT_EQ(readUpTo(10), iota(10));
    EXPECT_EQ(hid->readWaits.size(), 1u);  // only the initialization packet
    EXPECT_EQ(readUpTo(2048), kAbc);
}

TEST_F(HidTransportTest, ChannelFailuresLogAndReturnWhatIsBuffered) {
    struct Case {
        const char* name;
        std::vector<ReadStep> reads;
        std::vector<std::string> lines;  // INFO lines in order
        bool open = true;                // a read error releases the device
    };
    const std::vector<Case> cases = {
        {"time-out", {ReadStep::timeout()}, {"hid transport received timeout"}},
        {"short packet", {ReadStep::data(Bytes(10, 0))}, {"hid transport received timeout"}},
        {"read error",
         {ReadStep::error()},
         {"hid transport received timeout", "hid transport received error -127"},
         false},
        {"error packet code 4",
         {ReadStep::data(u2fInit(kChannel, 0xBF, 1, {4}))},
         {"hid transport received error -4"}},
        {"wrong sequence",
         {ReadStep::data(u2fInit(kChannel, 0xC0, 100, iota(57))),
          ReadStep::data(u2fCont(kChannel, 1, iota(43)))},
         {"hid transport received error -4"}},
        {"initialization packet inside a message",
         {ReadStep::data(u2fInit(kChannel, 0xC0, 100, iota(57))),
          ReadStep::data(u2fInit(kChannel, 0xC0, 3, kAbc))},
         {"hid transport received error -4"}},
        {"time-out inside a message",
         {ReadStep::data(u2fInit(kChannel, 0xC0, 100, iota(57))), ReadStep::timeout()},
         {"hid transport received timeout"}},
        {"empty message",
         {ReadStep::data(u2fInit(kChannel, 0xC0, 0, {}))},
         {"hid transport received error 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        openChannel();
        hid->reads.assign(c.reads.begin(), c.reads.end());
        EXPECT_EQ(readUpTo(2048), Bytes{});
        std::vector<std::string> lines;
        for (const auto& [level, text] : log.lines()) {
            EXPECT_EQ(level, talvoranth::LOG_INFO);
            lines.push_back(text);
        }
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(transport->isOpen(), c.open);
    }
}

TEST_F(HidTransportTest, ReadOnAClosedTransportGivesWhatIsBuffered) {
    openChannel();
    transport->close();
    EXPECT_EQ(readUpTo(16), Bytes{});
    EXPECT_TRUE(log.has(talvoranth::LOG_INFO, "hid transport received error -127"));

    make();  // plain framing, never opened
    EXPECT_EQ(readUpTo(16), Bytes{});
}

TEST_F(HidTransportTest, ReopeningDropsBytesOfTheEarlierOpening) {
    openPlain();
    deliver({plainReport(65, 0, iota(10), 10)});
    EXPECT_EQ(readUpTo(4), iota(4));
    transport->open();
    deliver({plainReport(65, 0, kAbc, 3)});
    EXPECT_EQ(readUpTo(16), kAbc);
}

TEST_F(HidTransportTest, ReadOfCapacityZeroDoesNothing) {
    openPlain();
    deliver({plainReport(65, 0, kAbc, 3)});
    EXPECT_EQ(transport->read(nullptr, 0), 0);
    EXPECT_TRUE(hid->readWaits.empty());
}

// ---- failures that throw ----

// A device whose reports cannot be written or read is released, so that the
// next exchange opens it again (it was unplugged, or vexa-sim went away); a
// malformed answer or a refused message leaves it open.
TEST_F(HidTransportTest, FailuresThrowTheirMessageAndReleaseAFailedDevice) {
    struct Case {
        const char* name;
        std::function<void()> run;
        std::string message;
        bool open;  // whether the transport is open afterwards
    };
    auto failWrite = [this](int result, std::optional<std::wstring> error) {
        hid->failWriteAt = 0;
        hid->failedWriteResult = result;
        hid->error = std::move(error);
        write(kAbc);
    };
    auto readAfter = [this](std::vector<Bytes> reports) {
        deliver(reports);
        readUpTo(2048);
    };
    const std::vector<Case> cases = {
        {"no devices",
         [&] {
             hid->records.clear();
             make().open();
         },
         "Device not detected", false},
        {"no device with the serial number",
         [&] {
             make().setSerialNumber("0123456789AC");
             transport->open();
         },
         "Device not detected", false},
        {"serial number in lower case",
         [&] {
             make().setSerialNumber("0123456789ab");
             transport->open();
         },
         "Device not detected", false},
        {"record without path",
         [&] {
             hid->records[0].path.clear();
             make().open();
         },
         "Device not detected", false},
        {"vendor id 0 and no name filters",
         [&] {
             make().setSerialNumber("");
             transport->open();
         },
         "Device not detected", false},
        {"open by path fails",
         [&] {
             hid->openFails = true;
             make().open();
         },
         "Unable to connect to device", false},
        {"write while closed", [&] { make().write(kAbc.data(), 3); }, "Null handle", false},
        {"plain write short, with error text",
         [&] {
             openPlain();
             failWrite(-1, L"device gone");
         },
         "device gone", false},
        {"plain write short, no error text",
         [&] {
             openPlain();
             failWrite(64, std::nullopt);
         },
         "HID write failed.", false},
        {"channel write short, with error text",
         [&] {
             openChannel();
             failWrite(-1, L"device gone");
         },
         "device gone", false},
        {"channel write short, no error text",
         [&] {
             openChannel();
             failWrite(64, std::nullopt);
         },
         "null", false},
        {"plain read error, with error text",
         [&] {
             openPlain();
             hid->error = L"read broke";
             hid->reads.push_back(ReadStep::error());
             readUpTo(16);
         },
         "read broke", false},
        {"plain read error, no error text",
         [&] {
             openPlain();
             hid->reads.push_back(ReadStep::error());
             readUpTo(16);
         },
         "null", false},
        {"packet id 2",
         [&] {
             openPlain();
             readAfter({plainReport(65, 2, kAbc, 3)});
         },
         "Invalid HID packet id received", true},
        {"continuation first",
         [&] {
             openPlain();
             readAfter({plainReport(65, 1, kAbc)});
         },
         "Invalid HID packet received (out of order)", true},
        {"channel message longer than 7609 bytes",
         [&] {
             openChannel();
             write(iota(7610));
         },
         "Message too long for HID transport", true},
        {"plain report too short for any payload",
         [&] {
             hid->outputReportLength = 5;
             openPlain();
             write(kAbc);
         },
         "HID report too short for plain framing", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hid = std::make_shared<FakeHid>();
        hid->records = {vexaRecord("/fake/0", L"0123456789AB")};
        try {
            c.run();
            ADD_FAILURE() << "no exception";
        } catch (const IOException& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
            EXPECT_EQ(e.code(), -1);
        }
        EXPECT_EQ(transport->isOpen(), c.open);
        EXPECT_EQ(hid->openDevices, c.open ? 1 : 0);
    }
}

TEST_F(HidTransportTest, RefusedMessagesSendNothing) {
    openChannel();
    const Bytes tooLong = iota(7610);
    EXPECT_THROW(transport->write(tooLong.data(), 7610), IOException);
    EXPECT_THROW(transport->write(nullptr, 3), IOException);
    EXPECT_THROW(transport->write(kAbc.data(), -1), IOException);
    EXPECT_TRUE(hid->writes.empty());
}

TEST_F(HidTransportTest, BrokenPlainResponseIsNotHandedToTheNextRead) {
    openPlain();
    deliver({plainReport(65, 0, iota(60), 100), plainReport(65, 7, {})});
    EXPECT_THROW(readUpTo(2048), IOException);
    deliver({plainReport(65, 0, kAbc, 3)});
    EXPECT_EQ(readUpTo(2048), kAbc);
}

TEST_F(HidTransportTest, SurplusBeforeABrokenResponseSurvives) {
    openPlain();
    deliver({plainReport(65, 0, iota(10), 10)});
    EXPECT_EQ(readUpTo(4), iota(4));
    hid->reads.push_back(ReadStep::error());
    EXPECT_THROW(readUpTo(16), IOException);
    EXPECT_EQ(readUpTo(6), iota(6, 4));
}

}  // namespace
