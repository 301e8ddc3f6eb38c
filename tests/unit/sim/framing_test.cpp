// The device side of both HID framings, packet by packet: the byte layouts
// a host sends, the answers to channel allocation, and what happens to
// malformed or out-of-order packets.
#include <gtest/gtest.h>

#include <set>

#include "sim/device/plain_framing.h"
#include "sim/device/u2f_framing.h"

namespace vexa::sim {
namespace {

class FakeChannels : public u2f::ChannelAllocator {
public:
    uint32_t allocateChannel() override { return ++last; }
    bool channelAllocated(uint32_t channel) const override {
        return channel == 0x01020304 || (channel > 0x100 && channel <= last);
    }
    uint32_t last = 0x100;
};

Bytes packet(uint32_t channel, uint8_t command, std::initializer_list<uint8_t> rest,
             uint8_t fill = 0xEE) {
    Bytes p(u2fhid::kPacketSize, fill);
    p[0] = static_cast<uint8_t>(channel >> 24);
    p[1] = static_cast<uint8_t>(channel >> 16);
    p[2] = static_cast<uint8_t>(channel >> 8);
    p[3] = static_cast<uint8_t>(channel);
    p[4] = command;
    size_t i = 5;
    for (uint8_t b : rest) {
        p[i++] = b;
    }
    return p;
}

uint32_t channelOf(const Bytes& p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

void expectError(const u2f::Received& r, uint32_t channel, uint8_t code) {
    EXPECT_FALSE(r.message);
    ASSERT_EQ(r.replies.size(), 1u);
    const Bytes& p = r.replies[0];
    EXPECT_EQ(channelOf(p), channel);
    EXPECT_EQ(p[4], u2fhid::kCommandError);
    EXPECT_EQ(p[5], 0);
    EXPECT_EQ(p[6], 1);
    EXPECT_EQ(p[7], code);
}

class U2fReceiverTest : public ::testing::Test {
protected:
    u2f::Received feed(const Bytes& p) { return receiver.receive(p.data(), p.size()); }
    FakeChannels channels;
    u2f::Receiver receiver{channels};
};

TEST_F(U2fReceiverTest, AllocationEchoesTheNonceAndAssignsFreshChannels) {
    std::set<uint32_t> assigned;
    for (int i = 0; i < 3; ++i) {
        const u2f::Received r = feed(packet(u2fhid::kBroadcastChannel, u2fhid::kCommandAllocate,
                                            {0, 8, 1, 2, 3, 4, 5, 6, 7, uint8_t(8 + i)}));
        ASSERT_EQ(r.replies.size(), 1u);
        const Bytes& p = r.replies[0];
        EXPECT_EQ(channelOf(p), u2fhid::kBroadcastChannel);
        EXPECT_EQ(p[4], u2fhid::kCommandAllocate);
        EXPECT_EQ(p[5], 0);
        EXPECT_EQ(p[6], 17);
        EXPECT_EQ(Bytes(p.begin() + 7, p.begin() + 15),
                  (Bytes{1, 2, 3, 4, 5, 6, 7, uint8_t(8 + i)}));
        const uint32_t channel = channelOf(Bytes(p.begin() + 15, p.begin() + 19));
        EXPECT_NE(channel, 0u);
        EXPECT_NE(channel, u2fhid::kBroadcastChannel);
        assigned.insert(channel);
    }
    EXPECT_EQ(assigned.size(), 3u);
}

TEST_F(U2fReceiverTest, AllocationWithAWrongLengthIsAnError) {
    expectError(feed(packet(u2fhid::kBroadcastChannel, u2fhid::kCommandAllocate, {0, 16})),
                u2fhid::kBroadcastChannel, u2fhid::kErrInvalidLength);
}

TEST_F(U2fReceiverTest, ShortMessageInOnePacket) {
    // The host's report 00 01 02 03 04 C0 00 03 61 62 63 EE..., report id
    // already taken off.
    const u2f::Received r = feed(packet(0x01020304, 0xC0, {0x00, 0x03, 0x61, 0x62, 0x63}));
    ASSERT_TRUE(r.message);
    EXPECT_EQ(*r.message, (Bytes{0x61, 0x62, 0x63}));
    EXPECT_EQ(r.channel, 0x01020304u);
    EXPECT_TRUE(r.replies.empty());
}

TEST_F(U2fReceiverTest, SixtyByteMessageNeedsOneContinuation) {
    Bytes message(60);
    for (size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<uint8_t>(i);
    }
    Bytes first = packet(0x01020304, 0xC0, {0, 60});
    std::copy_n(message.begin(), 57, first.begin() + 7);
    EXPECT_FALSE(feed(first).message);
    Bytes next = packet(0x01020304, 0x00, {57, 58, 59});
    const u2f::Received r = feed(next);
    ASSERT_TRUE(r.message);
    EXPECT_EQ(*r.message, message);
}

TEST_F(U2fReceiverTest, LargestMessageUsesAllSequenceNumbers) {
    Bytes message(u2fhid::kMaxMessage, 0x42);
    const std::vector<Bytes> packets = u2f::framePackets(0x01020304, 0xC0, message);
    ASSERT_EQ(packets.size(), 129u);
    EXPECT_EQ(packets.back()[4], 127);
    std::optional<Bytes> got;
    for (const Bytes& p : packets) {
        u2f::Received r = feed(p);
        EXPECT_TRUE(r.replies.empty());
        if (r.message) {
            got = r.message;
        }
    }
    EXPECT_EQ(got, message);
}

TEST_F(U2fReceiverTest, MalformedPackets) {
    // Message on a channel nobody allocated, or on the broadcast channel.
    expectError(feed(packet(0x0BADBEEF, 0xC0, {0, 1, 9})), 0x0BADBEEF, u2fhid::kErrInvalidChannel);
    expectError(feed(packet(u2fhid::kBroadcastChannel, 0xC0, {0, 1, 9})), u2fhid::kBroadcastChannel,
                u2fhid::kErrInvalidChannel);
    // Longer than a message can be.
    expectError(feed(packet(0x01020304, 0xC0, {0x1D, 0xBA})), 0x01020304,
                u2fhid::kErrInvalidLength);
    // A command this device does not know (a ping, an error packet).
    expectError(feed(packet(0x01020304, 0x81, {0, 0})), 0x01020304, u2fhid::kErrInvalidCommand);
    expectError(feed(packet(0x01020304, 0xBF, {0, 1, 1})), 0x01020304, u2fhid::kErrInvalidCommand);
    // A continuation with no message in progress is dropped.
    const u2f::Received stray = feed(packet(0x01020304, 0x00, {1, 2}));
    EXPECT_FALSE(stray.message);
    EXPECT_TRUE(stray.replies.empty());
}

TEST_F(U2fReceiverTest, OutOfSequenceContinuationLosesTheMessage) {
    feed(packet(0x01020304, 0xC0, {0, 100}));
    expectError(feed(packet(0x01020304, 0x01, {})), 0x01020304, u2fhid::kErrInvalidSequence);
    // The rest of that message is now stray.
    const u2f::Received after = feed(packet(0x01020304, 0x00, {}));
    EXPECT_FALSE(after.message);
    EXPECT_TRUE(after.replies.empty());
}

TEST_F(U2fReceiverTest, ContinuationsOfAnotherChannelAreIgnored) {
    feed(packet(0x01020304, 0xC0, {0, 60}));
    EXPECT_TRUE(feed(packet(0x0A0B0C0D, 0x00, {})).replies.empty());
    EXPECT_TRUE(feed(packet(0x01020304, 0x00, {})).message);
}

TEST_F(U2fReceiverTest, NewInitializationPacketAbandonsTheMessageInProgress) {
    feed(packet(0x01020304, 0xC0, {0, 100}));
    const u2f::Received r = feed(packet(0x01020304, 0xC0, {0, 2, 7, 8}));
    ASSERT_TRUE(r.message);
    EXPECT_EQ(*r.message, (Bytes{7, 8}));
}

TEST_F(U2fReceiverTest, ShortPacketsCountAsZeroPadded) {
    const Bytes p = {0x01, 0x02, 0x03, 0x04, 0xC0, 0x00, 0x02, 0x05};
    const u2f::Received r = receiver.receive(p.data(), p.size());
    ASSERT_TRUE(r.message);
    EXPECT_EQ(*r.message, (Bytes{0x05, 0x00}));
}

// ---- plain framing --------------------------------------------------------

constexpr size_t kL = 65;

Bytes report(std::initializer_list<uint8_t> head) {
    Bytes r(kL, 0);
    std::copy(head.begin(), head.end(), r.begin());
    return r;
}

TEST(PlainReceiver, ThreeByteMessageInOneReport) {
    plain::Receiver receiver(kL);
    const Bytes r = report({0x01, 0x00, 0x03, 0x00, 0x00, 0x61, 0x62, 0x63});
    const plain::Received got = receiver.receive(r.data(), r.size());
    ASSERT_TRUE(got.message);
    EXPECT_EQ(*got.message, (Bytes{0x61, 0x62, 0x63}));
}

TEST(PlainReceiver, ReportBoundary) {
    for (size_t length : {kL - 5, kL - 4, kL - 5 + kL - 2, kL - 5 + kL - 2 + 1, size_t{0}}) {
        SCOPED_TRACE(length);
        Bytes message(length);
        for (size_t i = 0; i < length; ++i) {
            message[i] = static_cast<uint8_t>(i * 7);
        }
        const std::vector<Bytes> reports = plain::frameReports(kL, message);
        const size_t expected = length <= kL - 5 ? 1 : 1 + (length - (kL - 5) + kL - 3) / (kL - 2);
        EXPECT_EQ(reports.size(), expected);
        plain::Receiver receiver(kL);
        std::optional<Bytes> got;
        for (const Bytes& r : reports) {
            EXPECT_EQ(r.size(), kL);
            EXPECT_FALSE(got);  // complete only with the last report
            got = receiver.receive(r.data(), r.size()).message;
        }
        EXPECT_EQ(got, message);
    }
}

TEST(PlainReceiver, MalformedReportsAreDropped) {
    plain::Receiver receiver(kL);
    const Bytes continuation = report({0x01, 0x01, 0xAA});
    EXPECT_FALSE(receiver.receive(continuation.data(), continuation.size()).message);
    const Bytes badId = report({0x01, 0x02, 0x01, 0x00, 0x00, 0x55});
    EXPECT_FALSE(receiver.receive(badId.data(), badId.size()).message);
    const Bytes otherReport = report({0x02, 0x00, 0x01, 0x00, 0x00, 0x55});
    EXPECT_FALSE(receiver.receive(otherReport.data(), otherReport.size()).message);
    // Still in step: a good message goes through.
    const Bytes good = report({0x01, 0x00, 0x01, 0x00, 0x00, 0x55});
    EXPECT_EQ(receiver.receive(good.data(), good.size()).message, (Bytes{0x55}));
}

TEST(PlainReceiver, FirstReportRestartsAMessageInProgress) {
    plain::Receiver receiver(kL);
    const Bytes longStart = report({0x01, 0x00, 0xFF, 0x00, 0x00});
    EXPECT_FALSE(receiver.receive(longStart.data(), longStart.size()).message);
    const Bytes good = report({0x01, 0x00, 0x02, 0x00, 0x00, 0x10, 0x20});
    EXPECT_EQ(receiver.receive(good.data(), good.size()).message, (Bytes{0x10, 0x20}));
}

TEST(PlainReceiver, OversizedMessageCompletesWithoutBeingKept) {
    plain::Receiver receiver(8);  // 3 payload bytes in a first report, 6 in a continuation
    // 65537 bytes announced: the sender follows with its continuations.
    const Bytes first = {0x01, 0x00, 0x01, 0x00, 0x01, 1, 2, 3};
    EXPECT_FALSE(receiver.receive(first.data(), first.size()).message);
    const Bytes next = {0x01, 0x01, 0, 0, 0, 0, 0, 0};
    plain::Received last;
    for (size_t received = 3; received < 65537; received += 6) {
        last = receiver.receive(next.data(), next.size());
    }
    ASSERT_TRUE(last.message);
    EXPECT_TRUE(last.oversized);
    EXPECT_TRUE(last.message->empty());
}

}  // namespace
}  // namespace vexa::sim
