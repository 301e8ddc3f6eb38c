// The virtual HID backend against a scripted vexa-sim stand-in on a real
// Unix socket: what it sends, and how it treats replies that are short,
// lying, of the wrong type, or missing.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include "transport/exceptions.h"
#include "transport/virtual_hid_backend.h"
#include "transport/virtual_wire.h"

namespace {

namespace wire = vexa::virtual_wire;
using Bytes = std::vector<uint8_t>;

// Serves one connection at a time; every message received is answered by
// the handler. An empty answer closes the connection.
class ScriptedSim {
public:
    using Handler = std::function<Bytes(const Bytes& message)>;

    explicit ScriptedSim(Handler handler) : handler_(std::move(handler)) {
        char dir[] = "/tmp/vexa-vbt-XXXXXX";
        EXPECT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/sim.sock";
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
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
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
            std::vector<uint8_t> buffer;
            while (waitReadable(fd)) {
                const long n = wire::receiveMessage(fd, buffer, 0);
                if (n <= 0) {
                    break;
                }
                Bytes message(buffer.begin(), buffer.begin() + n);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    received_.push_back(message);
                }
                const Bytes reply = handler_(message);
                if (reply.empty() || !wire::sendMessage(fd, reply)) {
                    break;
                }
            }
            ::close(fd);
        }
    }

    Handler handler_;
    std::string dir_;
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

Bytes openReply(uint8_t status, uint32_t settleMs = 5, uint16_t reportLength = 64) {
    return wire::Writer(wire::OPEN_REPLY)
        .u8(status)
        .u32(settleMs)
        .u16(reportLength)
        .str("")
        .bytes();
}

TEST(VirtualHidBackend, EnumerationIsFilteredAndTextsWidened) {
    ScriptedSim sim([](const Bytes&) {
        return wire::Writer(wire::ENUMERATE_REPLY)
            .u16(3)
            .record(record("vexa-sim/0", 0x0483,
                           "V\xC3\xAB"
                           "xa"))
            .record(record("vexa-sim/1", 0x1234, "Other"))
            .record(record("vexa-sim/2", 0x0483, "bad\xFF"))
            .bytes();
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
    ScriptedSim sim([](const Bytes&) {
        Bytes reply =
            wire::Writer(wire::ENUMERATE_REPLY).u16(2).record(record("a", 1, "b")).bytes();
        return reply;
    });
    auto backend = talvoranth::makeVirtualHidBackend(sim.path());
    EXPECT_THROW(backend->enumerate(0, 0), talvoranth::IOException);
}

TEST(VirtualHidBackend, RefusedOpenGivesNoDevice) {
    ScriptedSim sim([](const Bytes&) { return openReply(1); });
    auto backend = talvoranth::makeVirtualHidBackend(sim.path());
    EXPECT_EQ(backend->openPath("vexa-sim/0"), nullptr);
    ASSERT_EQ(sim.received().size(), 1u);
    EXPECT_EQ(sim.received()[0], wire::Writer(wire::OPEN).str("vexa-sim/0").bytes());
}

TEST(VirtualHidBackend, ReportsTravelAsHidapiWouldCarryThem) {
    std::atomic<int> reads{0};
    ScriptedSim sim([&](const Bytes& m) -> Bytes {
        switch (m[0]) {
            case wire::OPEN:
                return openReply(0, 7, 64);
            case wire::WRITE:
                return wire::Writer(wire::WRITE_REPLY).i32(65).str("").bytes();
            case wire::READ: {
                ++reads;
                wire::Writer w(wire::READ_REPLY);
                if (reads == 1) {  // a full report
                    Bytes report(64, 0x5A);
                    return w.i32(64).str("").raw(report.data(), report.size()).bytes();
                }
                if (reads == 2) {  // claims more bytes than it carries
                    Bytes report(10, 0x11);
                    return w.i32(100).str("").raw(report.data(), report.size()).bytes();
                }
                if (reads == 3) {  // more than the host asked for
                    Bytes report(65, 0x22);
                    return w.i32(65).str("").raw(report.data(), report.size()).bytes();
                }
                if (reads == 4) {
                    return w.i32(0).str("").bytes();
                }
                return w.i32(-1).str("stalled").bytes();
            }
            default:
                return {};
        }
    });
    auto backend = talvoranth::makeVirtualHidBackend(sim.path());
    auto device = backend->openPath("vexa-sim/0");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->outputReportLength(), 65u);
    EXPECT_EQ(device->settleMilliseconds(), 7);

    const uint8_t shortReport[] = {0x00, 1, 2, 3};
    EXPECT_EQ(device->write(shortReport, sizeof shortReport), 65);
    Bytes expected{wire::WRITE, 0x00, 1, 2, 3};
    expected.resize(66, 0);  // padded to the report length, as hidapi does
    EXPECT_EQ(sim.received().back(), expected);

    uint8_t in[64];
    EXPECT_EQ(device->readTimeout(in, sizeof in, 250), 64);
    EXPECT_EQ(in[63], 0x5A);
    EXPECT_EQ(sim.received().back(), (Bytes{wire::READ, 250, 0, 0, 0}));
    EXPECT_EQ(device->readTimeout(in, sizeof in, 250), 10);
    EXPECT_EQ(device->readTimeout(in, sizeof in, 250), 64);
    EXPECT_EQ(device->readTimeout(in, sizeof in, 250), 0);
    EXPECT_EQ(device->readTimeout(in, sizeof in, 250), -1);
    EXPECT_EQ(device->errorText(), std::wstring(L"stalled"));
    // An error the device reports leaves the connection usable.
    EXPECT_EQ(device->write(shortReport, sizeof shortReport), 65);
}

TEST(VirtualHidBackend, ABrokenConnectionStaysBroken) {
    struct Case {
        const char* name;
        Bytes reply;  // to the first READ; empty closes the connection
        std::wstring error;
    };
    const std::vector<Case> cases = {
        {"connection closed", {}, L"the virtual device closed the connection"},
        {"reply of another type", wire::Writer(wire::WRITE_REPLY).i32(65).str("").bytes(),
         L"the virtual device sent a malformed reply"},
        {"truncated reply", Bytes{wire::READ_REPLY, 64, 0},
         L"the virtual device sent a malformed reply"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSim sim(
            [&](const Bytes& m) { return m[0] == wire::OPEN ? openReply(0) : c.reply; });
        auto device = talvoranth::makeVirtualHidBackend(sim.path())->openPath("vexa-sim/0");
        ASSERT_NE(device, nullptr);
        uint8_t in[64];
        EXPECT_EQ(device->readTimeout(in, sizeof in, 100), -1);
        EXPECT_EQ(device->errorText(), c.error);
        const size_t seen = sim.received().size();
        EXPECT_EQ(device->readTimeout(in, sizeof in, 100), -1);
        EXPECT_EQ(device->write(in, sizeof in), -1);
        EXPECT_EQ(sim.received().size(), seen);
    }
}

TEST(VirtualHidBackend, UnreachableSocket) {
    auto backend = talvoranth::makeVirtualHidBackend("/nonexistent-vexa-test/sim.sock");
    EXPECT_THROW(backend->enumerate(0, 0), talvoranth::IOException);
    EXPECT_EQ(backend->openPath("vexa-sim/0"), nullptr);
}

}  // namespace
