// The virtual HID backend against a scripted vexa-sim stand-in on a real
// Unix socket: what it sends, how it takes the reports the device pushes
// (during a write and between calls, in order, within its bound), and how it
// treats messages that are short, lying, of the wrong type, or missing.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "support/temp_dir.h"
#include "transport/exceptions.h"
#include "transport/virtual_hid_backend.h"
#include "device_link/virtual_wire.h"

namespace {

namespace wire = vexa::virtual_wire;
using Bytes = std::vector<uint8_t>;

// An empty message in a handler's answer closes the connection there.
const Bytes kClose;

// Serves one connection at a time; every message received is answered by
// the handler's messages, sent in order.
class ScriptedSim {
public:
    using Handler = std::function<std::vector<Bytes>(const Bytes& message)>;

    explicit ScriptedSim(Handler handler) : handler_(std::move(handler)) {
        path_ = dir_.file("sim.sock");
        listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listener_, 4), 0);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedSim() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    const std::string& path() const { return path_; }
    std::vector<Bytes> received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    bool waitReadable(int fd) {
        pollfd p{fd, POLLIN, 0};
        while (!stop_) {
            if (::poll(&p, 1, 20) > 0) {
                return true;
            }
        }
        return false;
    }
    void serve() {
        while (waitReadable(listener_)) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            wire::Channel channel(fd, false);
            std::vector<uint8_t> buffer;
            while (waitReadable(fd)) {
                const long n = channel.receive(buffer, 0);
                if (n <= 0) {
                    break;
                }
                Bytes message(buffer.begin(), buffer.begin() + n);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    received_.push_back(message);
                }
                bool open = true;
                for (const Bytes& reply : handler_(message)) {
                    if (reply.empty() || !channel.send(reply)) {
                        open = false;
                        break;
                    }
                }
                if (!open) {
                    break;
                }
            }
        }
    }

    Handler handler_;
    vexa::test::TempDir dir_{"vexa-vbt"};
    std::string path_;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Bytes> received_;
    std::thread thread_;
};

wire::DeviceRecord record(const std::string& path, uint16_t vendorId, const std::string& product) {
    wire::DeviceRecord r;
    r.path = path;
    r.vendorId = vendorId;
    r.productId = 0xA2AC;
    r.serialNumber = "0123456789AB";
    r.manufacturer = "Talvoranth";
    r.product = product;
    r.usagePage = 0xF1D0;
    return r;
}

Bytes writeReply(int32_t result = 65, const std::string& error = "") {
    return wire::Writer(wire::WRITE_REPLY).i32(result).str(error).bytes();
}

// A pushed report of `count` claimed bytes carrying `bytes`.
Bytes report(const Bytes& bytes, int32_t count = -2) {
    return wire::Writer(wire::REPORT)
        .i32(count == -2 ? static_cast<int32_t>(bytes.size()) : count)
        .str("")
        .raw(bytes.data(), bytes.size())
        .bytes();
}

Bytes errorRecord(const std::string& text) {
    return wire::Writer(wire::REPORT).i32(-1).str(text).bytes();
}

Bytes openReply(uint8_t status, uint32_t settleMs = 5, uint16_t reportLength = 64) {
    return wire::Writer(wire::OPEN_REPLY)
        .u8(status)
        .u32(settleMs)
        .u16(reportLength)
        .str("")
        .bytes();
}

TEST(VirtualHidBackend, EnumerationIsFilteredAndTextsWidened) {
    ScriptedSim sim([](const Bytes&) -> std::vector<Bytes> {
        return {wire::Writer(wire::ENUMERATE_REPLY)
                    .u16(3)
                    .record(record("vexa-sim/0", 0x0483,
                                   "V\xC3\xAB"
                                   "xa"))
                    .record(record("vexa-sim/1", 0x1234, "Other"))
                    .record(record("vexa-sim/2", 0x0483, "bad\xFF"))
                    .bytes()};
    });
    auto backend = talvoranth::makeVirtualHidBackend(sim.path());
    const auto all = backend->enumerate(0, 0);
    ASSERT_EQ(all.size(), 3u);
    const auto vexa = backend->enumerate(0x0483, 0xA2AC);
    ASSERT_EQ(vexa.size(), 2u);
    EXPECT_EQ(vexa[0].path, "vexa-sim/0");
    EXPECT_EQ(vexa[0].product, std::wstring(L"V\u00EBxa"));
    EXPECT_EQ(vexa[0].serialNumber, std::wstring(L"0123456789AB"));
    EXPECT_EQ(vexa[0].manufacturer, std::wstring(L"Talvoranth"));
    EXPECT_EQ(vexa[0].usagePage, 0xF1D0);
    EXPECT_EQ(vexa[1].product, std::wstring(L"bad\uFFFD"));
}

TEST(VirtualHidBackend, TruncatedDeviceListIsAnError) {
    ScriptedSim sim([](const Bytes&) -> std::vector<Bytes> {
        return {wire::Writer(wire::ENUMERATE_REPLY).u16(2).record(record("a", 1, "b")).bytes()};
    });
    auto backend = talvoranth::makeVirtualHidBackend(sim.path());
    EXPECT_THROW(backend->enumerate(0, 0), talvoranth::IOException);
}

TEST(VirtualHidBackend, RefusedOpenGivesNoDevice) {
    ScriptedSim sim([](const Bytes&) -> std::vector<Bytes> { return {openReply(1)}; });
    auto backend = talvoranth::makeVirtualHidBackend(sim.path());
    EXPECT_EQ(backend->openPath("vexa-sim/0"), nullptr);
    ASSERT_EQ(sim.received().size(), 1u);
    EXPECT_EQ(sim.received()[0], wire::Writer(wire::OPEN).str("vexa-sim/0").bytes());
}

// Opens the scripted device, whose WRITEs are answered by onWrite (the
// n-th WRITE, from 1).
std::unique_ptr<talvoranth::IHidDevice> openScripted(
    std::unique_ptr<ScriptedSim>& sim, std::function<std::vector<Bytes>(int n)> onWrite) {
    auto writes = std::make_shared<std::atomic<int>>(0);
    sim = std::make_unique<ScriptedSim>([=](const Bytes& m) -> std::vector<Bytes> {
        if (m[0] == wire::OPEN) {
            return {openReply(0, 7, 64)};
        }
        if (m[0] == wire::WRITE) {
            return onWrite(++*writes);
        }
        return {kClose};
    });
    return talvoranth::makeVirtualHidBackend(sim->path())->openPath("vexa-sim/0");
}

TEST(VirtualHidBackend, ReportsTravelAsHidapiWouldCarryThem) {
    std::unique_ptr<ScriptedSim> sim;
    auto device = openScripted(sim, [](int n) -> std::vector<Bytes> {
        if (n > 1) {
            return {writeReply()};
        }
        return {writeReply(), report(Bytes(64, 0x5A)),  // a full report
                report(Bytes(10, 0x11), 100),           // claims more bytes than it carries
                report(Bytes(65, 0x22)),                // more than the host asks for
                errorRecord("stalled")};
    });
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->outputReportLength(), 65u);
    EXPECT_EQ(device->settleMilliseconds(), 7);

    const uint8_t shortReport[] = {0x00, 1, 2, 3};
    EXPECT_EQ(device->write(shortReport, sizeof shortReport), 65);
    Bytes expected{wire::WRITE, 0x00, 1, 2, 3};
    expected.resize(66, 0);  // padded to the report length, as hidapi does
    EXPECT_EQ(sim->received().back(), expected);

    uint8_t in[64];
    EXPECT_EQ(device->readTimeout(in, sizeof in, 10000), 64);
    EXPECT_EQ(in[63], 0x5A);
    EXPECT_EQ(device->readTimeout(in, sizeof in, 10000), 10);
    EXPECT_EQ(device->readTimeout(in, sizeof in, 10000), 64);
    EXPECT_EQ(in[63], 0x22);
    EXPECT_EQ(device->readTimeout(in, sizeof in, 10000), -1);
    EXPECT_EQ(device->errorText(), std::wstring(L"stalled"));
    // Nothing more pushed: a time-out, and the host never asked for it.
    EXPECT_EQ(device->readTimeout(in, sizeof in, 50), 0);
    EXPECT_EQ(device->readTimeout(in, sizeof in, 0), 0);
    // An error the device reports leaves the connection usable.
    EXPECT_EQ(device->write(shortReport, sizeof shortReport), 65);
    for (const Bytes& m : sim->received()) {
        EXPECT_TRUE(m[0] == wire::OPEN || m[0] == wire::WRITE) << int(m[0]);
    }
}

TEST(VirtualHidBackend, ReportsPushedDuringAWriteWaitInOrderForTheirReads) {
    std::unique_ptr<ScriptedSim> sim;
    auto device = openScripted(sim, [](int n) -> std::vector<Bytes> {
        if (n == 1) {  // answers still due from before, then the reply
            return {report(Bytes(64, 1)), errorRecord("late error"), report(Bytes(64, 2)),
                    writeReply()};
        }
        return {report(Bytes(64, 3)), writeReply(-1, "busy"), report(Bytes(64, 4))};
    });
    ASSERT_NE(device, nullptr);
    const Bytes out(65, 0);
    EXPECT_EQ(device->write(out.data(), out.size()), 65);
    // A failing write still fails with its own text.
    EXPECT_EQ(device->write(out.data(), out.size()), -1);
    EXPECT_EQ(device->errorText(), std::wstring(L"busy"));
    uint8_t in[64];
    EXPECT_EQ(device->readTimeout(in, sizeof in, 10000), 64);
    EXPECT_EQ(in[0], 1);
    EXPECT_EQ(device->readTimeout(in, sizeof in, 10000), -1);
    EXPECT_EQ(device->errorText(), std::wstring(L"late error"));
    for (uint8_t expected : {2, 3, 4}) {
        EXPECT_EQ(device->readTimeout(in, sizeof in, 10000), 64);
        EXPECT_EQ(in[0], expected);
    }
    EXPECT_EQ(device->readTimeout(in, sizeof in, 0), 0);
}

TEST(VirtualHidBackend, AHostThatDoesNotReadKeepsOnlyABoundedQueue) {
    constexpr size_t kPushed = 1100;
    std::unique_ptr<ScriptedSim> sim;
    auto device = openScripted(sim, [&](int n) -> std::vector<Bytes> {
        std::vector<Bytes> messages;
        if (n == 1) {
            for (size_t i = 0; i < kPushed; ++i) {
                Bytes bytes(64, 0);
                bytes[0] = static_cast<uint8_t>(i);
                bytes[1] = static_cast<uint8_t>(i >> 8);
                messages.push_back(report(bytes));
            }
        }
        messages.push_back(writeReply());
        return messages;
    });
    ASSERT_NE(device, nullptr);
    const Bytes out(65, 0);
    ASSERT_EQ(device->write(out.data(), out.size()), 65);
    // The oldest are kept, the newest lost, as by a device's own buffer.
    uint8_t in[64];
    size_t taken = 0;
    while (device->readTimeout(in, sizeof in, 0) == 64) {
        EXPECT_EQ(size_t{in[0]} | size_t{in[1]} << 8, taken);
        ++taken;
    }
    EXPECT_EQ(taken, wire::kMaxQueuedReports);
    // Drained, the queue takes reports again.
    ASSERT_EQ(device->write(out.data(), out.size()), 65);
    EXPECT_EQ(device->readTimeout(in, sizeof in, 0), 0);
}

TEST(VirtualHidBackend, ABrokenConnectionStaysBroken) {
    struct Case {
        const char* name;
        std::vector<Bytes> onWrite;  // the sim's answer to the first WRITE
        int write;                   // what that write returns
        std::wstring error;          // every call fails with this afterwards
    };
    const std::wstring lost = L"the virtual device closed the connection";
    const std::wstring malformed = L"the virtual device sent a malformed reply";
    const std::wstring gone = L"the device was disconnected";
    const std::vector<Case> cases = {
        {"connection closed", {writeReply(), kClose}, 65, lost},
        {"closed instead of a reply", {kClose}, -1, lost},
        {"message of another type", {writeReply(), writeReply()}, 65, malformed},
        {"truncated report", {writeReply(), Bytes{wire::REPORT, 64, 0}}, 65, malformed},
        {"truncated report during a write", {Bytes{wire::REPORT, 64, 0}}, -1, malformed},
        {"reply of another type", {wire::Writer(wire::OPEN_REPLY).u8(0).bytes()}, -1, malformed},
        {"device gone",
         {writeReply(), errorRecord("the device was disconnected"), kClose},
         65,
         gone},
        {"device gone during a write",
         {report(Bytes(64, 9)), errorRecord("the device was disconnected"), kClose},
         -1,
         gone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<ScriptedSim> sim;
        auto device = openScripted(sim, [&](int) { return c.onWrite; });
        ASSERT_NE(device, nullptr);
        const Bytes out(65, 0);
        EXPECT_EQ(device->write(out.data(), out.size()), c.write);
        uint8_t in[64];
        EXPECT_EQ(device->readTimeout(in, sizeof in, 10000), -1);
        EXPECT_EQ(device->errorText(), c.error);
        const size_t seen = sim->received().size();
        EXPECT_EQ(device->readTimeout(in, sizeof in, 100), -1);
        EXPECT_EQ(device->write(out.data(), out.size()), -1);
        EXPECT_EQ(device->errorText(), c.error);
        EXPECT_EQ(sim->received().size(), seen);
    }
}

TEST(VirtualHidBackend, UnreachableSocket) {
    auto backend = talvoranth::makeVirtualHidBackend("/nonexistent-vexa-test/sim.sock");
    EXPECT_THROW(backend->enumerate(0, 0), talvoranth::IOException);
    EXPECT_EQ(backend->openPath("vexa-sim/0"), nullptr);
}

}  // namespace
