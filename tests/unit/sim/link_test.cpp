// One host connection to a virtual device, below the socket: reports in,
// firmware in the middle, reports out, with the queued faults and a device
// that vanishes.
#include <gtest/gtest.h>

#include <p11-kit/pkcs11.h>

#include <poll.h>

#include <chrono>
#include <thread>

#include "sim/device/link.h"
#include "sim/firmware/codec.h"
#include "support/function_id.h"

namespace vexa::sim {
namespace {

using F = rpc::FunctionId;
using test::id;
using namespace std::chrono_literals;

DeviceConfig config(Framing framing, uint16_t reportLength = 64) {
    DeviceConfig c;
    c.serial = "00000000ABCD";
    c.product = "Vexa";
    c.framing = framing;
    c.reportLength = reportLength;
    return c;
}

TokenSetup setupFor(const DeviceConfig& c) {
    TokenSetup s;
    s.serial = c.serial;
    s.product = c.product;
    return s;
}

Bytes tokenInfoRequest() {
    DeviceRequest r;
    r.functionId = id(F::GetTokenInfo);
    Bytes bytes;
    encodeRequest(r, bytes);
    return bytes;
}

// Plays the host: writes reports as hid_write takes them and reads them as
// hid_read_timeout delivers them.
class LinkTest : public ::testing::Test {
protected:
    void make(Framing framing, uint16_t reportLength = 64) {
        const DeviceConfig c = config(framing, reportLength);
        device = std::make_unique<VirtualDevice>(c, setupFor(c), wakeup);
        link = std::make_unique<DeviceLink>(*device);
    }

    int writeReport(const Bytes& report) {
        std::string error;
        return link->write(report.data(), report.size(), error);
    }

    // The next report, waiting for a held-back one that falls due within
    // timeoutMs; 0 when none does.
    int readReport(Bytes& report, int timeoutMs = 2000) {
        const auto deadline = DeviceLink::Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const int n = link->take(DeviceLink::Clock::now(), report);
            if (n > 0) {
                return n;
            }
            const DeviceLink::Clock::time_point due = link->nextDue();
            if (due > deadline) {
                return 0;
            }
            std::this_thread::sleep_until(due);
        }
    }

    void writePacket(const Bytes& packet) {
        Bytes report(1, 0x00);
        report.insert(report.end(), packet.begin(), packet.end());
        ASSERT_EQ(writeReport(report), 65);
    }

    uint32_t allocate() {
        Bytes p(64, 0);
        p[0] = p[1] = p[2] = p[3] = 0xFF;
        p[4] = 0x86;
        p[6] = 8;
        writePacket(p);
        Bytes answer;
        EXPECT_EQ(readReport(answer), 64);
        return uint32_t{answer[15]} << 24 | uint32_t{answer[16]} << 16 | uint32_t{answer[17]} << 8 |
               answer[18];
    }

    void sendU2f(uint32_t channel, const Bytes& message) {
        for (const Bytes& p : u2f::framePackets(channel, 0xC0, message)) {
            writePacket(p);
        }
    }

    // Reads one U2FHID message; the command byte goes to *command.
    Bytes receiveU2f(uint8_t* command, int timeoutMs = 2000) {
        Bytes p;
        if (readReport(p, timeoutMs) != 64) {
            return {};
        }
        *command = p[4];
        const size_t total = size_t{p[5]} << 8 | p[6];
        Bytes message(p.begin() + 7, p.begin() + 7 + std::min<size_t>(total, 57));
        while (message.size() < total && readReport(p, timeoutMs) == 64) {
            const size_t take = std::min<size_t>(total - message.size(), 59);
            message.insert(message.end(), p.begin() + 5, p.begin() + 5 + take);
        }
        return message;
    }

    uint32_t rvOf(const Bytes& message) {
        std::optional<DeviceResponse> r = decodeResponse(message.data(), message.size());
        return r ? r->rv : 0xDEADu;
    }

    Wakeup wakeup;
    std::unique_ptr<VirtualDevice> device;
    std::unique_ptr<DeviceLink> link;
};

TEST_F(LinkTest, TokenInfoOverU2f) {
    make(Framing::U2f);
    const uint32_t channel = allocate();
    sendU2f(channel, tokenInfoRequest());
    uint8_t command = 0;
    const Bytes message = receiveU2f(&command);
    EXPECT_EQ(command, 0xC0);
    std::optional<DeviceResponse> r = decodeResponse(message.data(), message.size());
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->tokenInfo);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r->tokenInfo->serial_number.bytes), 12),
              "00000000ABCD");
    Bytes nothing;
    EXPECT_EQ(readReport(nothing, 0), 0);  // one response per request
}

TEST_F(LinkTest, TokenInfoOverPlainFramingKeepsTheReportId) {
    make(Framing::Plain, 32);
    const Bytes request = tokenInfoRequest();
    for (const Bytes& r : plain::frameReports(33, request)) {
        ASSERT_EQ(writeReport(r), 33);
    }
    Bytes report;
    ASSERT_EQ(readReport(report), 33);
    EXPECT_EQ(report[0], 0x01);
    EXPECT_EQ(report[1], 0x00);
    const size_t total = size_t{report[2]} | size_t{report[3]} << 8 | size_t{report[4]} << 16;
    Bytes message(report.begin() + 5, report.end());
    while (message.size() < total) {
        ASSERT_EQ(readReport(report), 33);
        EXPECT_EQ(report[1], 0x01);
        message.insert(message.end(), report.begin() + 2, report.end());
    }
    message.resize(total);
    EXPECT_EQ(rvOf(message), CKR_OK);
}

TEST_F(LinkTest, PlainDeviceIgnoresTheChannelAllocation) {
    make(Framing::Plain);
    Bytes p(64, 0);
    p[0] = p[1] = p[2] = p[3] = 0xFF;
    p[4] = 0x86;
    p[6] = 8;
    writePacket(p);
    Bytes answer;
    EXPECT_EQ(readReport(answer, 50), 0);
}

TEST_F(LinkTest, ReadTimesOutWhenNothingIsPending) {
    make(Framing::U2f);
    Bytes report;
    EXPECT_EQ(readReport(report, 20), 0);
}

TEST_F(LinkTest, DropCarriesTheRequestOutButSendsNothing) {
    make(Framing::U2f);
    const uint32_t channel = allocate();
    device->queueFault({Fault::Kind::Drop, 0});
    DeviceRequest open;
    open.functionId = id(F::OpenSession);
    open.value = CKF_SERIAL_SESSION;
    Bytes bytes;
    encodeRequest(open, bytes);
    sendU2f(channel, bytes);
    Bytes report;
    EXPECT_EQ(readReport(report, 50), 0);
    // The session was opened all the same; the next request is answered.
    sendU2f(channel, tokenInfoRequest());
    uint8_t command = 0;
    const Bytes message = receiveU2f(&command);
    std::optional<DeviceResponse> r = decodeResponse(message.data(), message.size());
    ASSERT_TRUE(r && r->tokenInfo);
    EXPECT_EQ(r->tokenInfo->session_count, 1u);
}

TEST_F(LinkTest, DelayHoldsTheResponseBack) {
    make(Framing::U2f);
    const uint32_t channel = allocate();
    device->queueFault({Fault::Kind::Delay, 300});
    sendU2f(channel, tokenInfoRequest());
    Bytes report;
    EXPECT_EQ(readReport(report, 0), 0);  // not yet
    uint8_t command = 0;
    const Bytes message = receiveU2f(&command, 10000);
    EXPECT_EQ(rvOf(message), CKR_OK);
}

TEST_F(LinkTest, ErrorFaultAnswersWithAnErrorPacket) {
    make(Framing::U2f);
    const uint32_t channel = allocate();
    device->queueFault({Fault::Kind::Error, 4});
    sendU2f(channel, tokenInfoRequest());
    uint8_t command = 0;
    const Bytes message = receiveU2f(&command);
    EXPECT_EQ(command, 0xBF);
    EXPECT_EQ(message, Bytes{4});
    // Used up: the next request is answered normally.
    sendU2f(channel, tokenInfoRequest());
    EXPECT_EQ(rvOf(receiveU2f(&command)), CKR_OK);
}

TEST_F(LinkTest, ErrorFaultInPlainFramingSendsAnInvalidPacketId) {
    make(Framing::Plain);
    device->queueFault({Fault::Kind::Error, 4});
    for (const Bytes& r : plain::frameReports(65, tokenInfoRequest())) {
        writeReport(r);
    }
    Bytes report;
    ASSERT_EQ(readReport(report), 65);
    EXPECT_EQ(report[0], 0x01);
    EXPECT_EQ(report[1], 0xFF);
}

TEST_F(LinkTest, GarbageIsWellFramedButUndecodable) {
    make(Framing::U2f);
    const uint32_t channel = allocate();
    device->queueFault({Fault::Kind::Garbage, 0});
    sendU2f(channel, tokenInfoRequest());
    uint8_t command = 0;
    const Bytes message = receiveU2f(&command);
    EXPECT_EQ(command, 0xC0);
    EXPECT_FALSE(message.empty());
    EXPECT_FALSE(decodeResponse(message.data(), message.size()));
}

TEST_F(LinkTest, VanishedDeviceFailsItsLinksAndLosesItsSessions) {
    make(Framing::U2f);
    device->withToken([](Token& token) {
        token.sessions[5] = Session{};
        token.sessions[5].handle = 5;
    });
    Wakeup::Subscription watcher(wakeup);
    ASSERT_TRUE(watcher.ok());
    device->vanish(200);
    // Whoever waits on the device is woken.
    pollfd p{watcher.fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_FALSE(link->connected());
    std::string error;
    EXPECT_EQ(link->write(Bytes(65, 0).data(), 65, error), -1);
    EXPECT_EQ(error, "the device was disconnected");
    size_t sessions = 99;
    device->withToken([&](Token& token) { sessions = token.sessions.size(); });
    EXPECT_EQ(sessions, 0u);
    // It comes back; a new link works, the old one stays broken.
    while (!device->present()) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(link->connected());
    link = std::make_unique<DeviceLink>(*device);
    const uint32_t channel = allocate();
    sendU2f(channel, tokenInfoRequest());
    uint8_t command = 0;
    EXPECT_EQ(rvOf(receiveU2f(&command)), CKR_OK);
}

TEST_F(LinkTest, HostThatNeverReadsCannotGrowTheQueueWithoutBound) {
    make(Framing::U2f);
    const uint32_t channel = allocate();
    for (int i = 0; i < 600; ++i) {
        sendU2f(channel, tokenInfoRequest());
    }
    size_t queued = 0;
    Bytes report;
    while (readReport(report, 0) > 0) {
        ++queued;
    }
    EXPECT_GT(queued, 0u);
    EXPECT_LE(queued, 1024u);
    // Still answering once drained.
    sendU2f(channel, tokenInfoRequest());
    uint8_t command = 0;
    EXPECT_EQ(rvOf(receiveU2f(&command)), CKR_OK);
}

TEST(Wakeup, SubscribersAreWokenByVanishAndStopUntilTheyDrain) {
    Wakeup wakeup;
    Wakeup::Subscription first(wakeup);
    ASSERT_TRUE(first.ok());
    auto readable = [](const Wakeup::Subscription& s) {
        pollfd p{s.fd(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    };
    EXPECT_FALSE(readable(first));
    wakeup.notifyAll();
    wakeup.notifyAll();
    EXPECT_TRUE(readable(first));
    first.drain();
    EXPECT_FALSE(readable(first));
    wakeup.stop();
    EXPECT_TRUE(wakeup.stopping());
    EXPECT_TRUE(readable(first));
    // One that subscribes after the stop does not wait either.
    Wakeup::Subscription late(wakeup);
    EXPECT_TRUE(readable(late));
}

}  // namespace
}  // namespace vexa::sim
