// The HID transport and the port functions against a real vexa-sim
// process, through the virtual HID backend: two devices, token-information
// exchanges in both framings, and devices that answer with an error, with
// garbage, late, or not at all, or that vanish (also under a read that
// waits without limit); over the simulator's Unix socket and its TCP port.
#include <gtest/gtest.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include "log/log_target.h"
#include "rpc/function_ids.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "transport/hid_transport.h"
#include "transport/port.h"
#include "transport/virtual_hid_backend.h"
#include "device_link/virtual_wire.h"
#include "unit/hid/fake_hid.h"
#include "vexa.pb.h"

namespace {

namespace wire = vexa::virtual_wire;
using talvoranth::CHIDTransport;
using talvoranth::IOException;

constexpr int kExchangeBuffer = 2048;

std::vector<std::string> listSerials() {
    std::vector<std::string> serials;
    char** list = port_list(0x0483, 0xA2AC);
    for (char** entry = list; entry != nullptr && *entry != nullptr; ++entry) {
        serials.emplace_back(*entry);
    }
    port_list_free(list);
    return serials;
}

std::vector<uint8_t> tokenInfoRequest() {
    Request request = Request_init_zero;
    request.function_id = static_cast<uint32_t>(vexa::rpc::FunctionId::GetTokenInfo);
    std::vector<uint8_t> bytes(kExchangeBuffer);
    pb_ostream_t out = pb_ostream_from_buffer(bytes.data(), bytes.size());
    EXPECT_TRUE(pb_encode(&out, Request_fields, &request)) << PB_GET_ERROR(&out);
    bytes.resize(out.bytes_written);
    return bytes;
}

// Decodes a token-information response; false when it is not one.
bool decodeTokenInfo(const std::vector<uint8_t>& bytes, Response& response) {
    response = Response_init_zero;
    pb_istream_t in = pb_istream_from_buffer(bytes.data(), bytes.size());
    return pb_decode(&in, Response_fields, &response);
}

std::string text(const pb_byte_t* bytes, size_t size) {
    return std::string(reinterpret_cast<const char*>(bytes), size);
}

// Framing of the devices, and the link to the simulator: its Unix socket or
// its TCP port.
class SimulatedDevices : public ::testing::TestWithParam<std::tuple<const char*, const char*>> {
protected:
    void SetUp() override {
        const char* binDir = std::getenv("VEXA_BIN_DIR");
        ASSERT_NE(binDir, nullptr);
        const std::string program = std::string(binDir) + "/vexa-sim";
        socket_ = dir_.file("sim.sock");
        const bool tcp = std::get<1>(GetParam()) == std::string("tcp");
        sim_ = std::make_unique<vexa::test::ChildProcess>(
            program, std::vector<std::string>{tcp ? "--listen" : "--socket",
                                              tcp ? "127.0.0.1:0" : socket_, "--devices", "2",
                                              "--framing", framing(), "--settle-ms", "20"});
        ASSERT_TRUE(sim_->waitForStdout("vexa-sim: ready")) << sim_->out() << sim_->err();
        address_ = socket_;
        if (tcp) {
            const std::string out = sim_->out();
            const size_t at = out.find("listening on tcp:");
            ASSERT_NE(at, std::string::npos) << out;
            const size_t start = at + std::string("listening on ").size();
            address_ = out.substr(start, out.find('\n', start) - start);
        }
        setenv(wire::kSocketEnvironment, address_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv(wire::kSocketEnvironment);
        if (sim_) {
            sim_->stop();
        }
    }

    std::string framing() const { return std::get<0>(GetParam()); }
    bool u2f() const { return framing() == std::string("u2f"); }

    std::unique_ptr<CHIDTransport> openDevice(const std::string& serial, int timeoutMs = 10000) {
        auto transport = std::make_unique<CHIDTransport>(&log_);
        transport->setSerialNumber(serial);
        transport->setTimeout(timeoutMs);
        transport->open();
        return transport;
    }

    std::vector<uint8_t> exchange(CHIDTransport& transport) {
        const std::vector<uint8_t> request = tokenInfoRequest();
        EXPECT_EQ(transport.write(request.data(), static_cast<int>(request.size())),
                  static_cast<int>(request.size()));
        std::vector<uint8_t> response(kExchangeBuffer);
        const int n = transport.read(response.data(), kExchangeBuffer);
        response.resize(static_cast<size_t>(n));
        return response;
    }

    void expectTokenInfo(CHIDTransport& transport, const std::string& serial) {
        Response response;
        ASSERT_TRUE(decodeTokenInfo(exchange(transport), response));
        EXPECT_EQ(response.rv, 0u);
        ASSERT_TRUE(response.has_token_info);
        const TokenInfo& info = response.token_info;
        EXPECT_EQ(text(info.manufacturer_id.bytes, info.manufacturer_id.size).substr(0, 11),
                  "Talvoranth ");
        EXPECT_EQ(text(info.serial_number.bytes, info.serial_number.size).substr(0, 12), serial);
    }

    // Sends one fault-injection command to the running simulator.
    void control(const std::string& command) {
        wire::Channel channel = wire::connectTo(address_);
        ASSERT_TRUE(channel.isOpen());
        ASSERT_TRUE(channel.send(wire::Writer(wire::CONTROL).str(command).bytes()));
        std::vector<uint8_t> reply;
        const long n = channel.receive(reply, 30000);
        ASSERT_GT(n, 1);
        wire::Reader in(reply.data() + 1, static_cast<size_t>(n) - 1);
        EXPECT_EQ(reply[0], wire::CONTROL_REPLY);
        EXPECT_EQ(in.u8(), 0) << command << ": " << in.str();
    }

    hidtest::RecordingLog log_;
    vexa::test::TempDir dir_{"vexa-hidsim"};
    std::string socket_;
    std::string address_;  // what VEXA_VIRTUAL_DEVICE names
    std::unique_ptr<vexa::test::ChildProcess> sim_;
};

TEST_P(SimulatedDevices, BothDevicesAreListedAndAnswerTokenInformation) {
    const std::vector<std::string> serials = listSerials();
    ASSERT_EQ(serials.size(), 2u);
    for (const std::string& serial : serials) {
        SCOPED_TRACE(serial);
        EXPECT_EQ(serial.size(), 12u);
        EXPECT_EQ(serial.find_first_not_of("0123456789ABCDEF"), std::string::npos);

        std::unique_ptr<CHIDTransport> transport = openDevice(serial);
        EXPECT_EQ(transport->channelFraming(), u2f());
        EXPECT_EQ(transport->product(), "Vexa");
        expectTokenInfo(*transport, serial);
        expectTokenInfo(*transport, serial);  // and again on the same opening
    }
}

TEST_P(SimulatedDevices, BothDevicesOpenAtOnce) {
    const std::vector<std::string> serials = listSerials();
    ASSERT_EQ(serials.size(), 2u);
    std::unique_ptr<CHIDTransport> first = openDevice(serials[0]);
    std::unique_ptr<CHIDTransport> second = openDevice(serials[1]);
    expectTokenInfo(*second, serials[1]);
    expectTokenInfo(*first, serials[0]);
}

TEST_P(SimulatedDevices, PortFunctionsCarryAnExchange) {
    const std::vector<std::string> serials = listSerials();
    ASSERT_EQ(serials.size(), 2u);
    talvoranth::CTransport* port = port_open(0x0483, 0xA2AC, 120000, nullptr, serials[1].c_str());
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->getTimeout(), 120000);

    std::vector<uint8_t> buffer = tokenInfoRequest();
    ASSERT_TRUE(port_write(port, buffer.data(), static_cast<int>(buffer.size())));
    buffer.assign(4096, 0);
    int length = 4096;
    ASSERT_TRUE(port_read(port, buffer.data(), &length));
    buffer.resize(static_cast<size_t>(length));
    Response response;
    ASSERT_TRUE(decodeTokenInfo(buffer, response));
    EXPECT_EQ(response.rv, 0u);

    port_close(port);
    port_close(port);
    delete port;

    testing::internal::CaptureStderr();
    EXPECT_EQ(port_open(0x0483, 0xA2AC, 120000, nullptr, "000000000000"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error opening port: Device not detected\n");
}

TEST_P(SimulatedDevices, ErrorAnswerFollowsTheFailureTable) {
    const std::string serial = listSerials().at(0);
    std::unique_ptr<CHIDTransport> transport = openDevice(serial);
    control("error 0 4");
    if (u2f()) {
        EXPECT_TRUE(exchange(*transport).empty());
        EXPECT_TRUE(log_.has(talvoranth::LOG_INFO, "hid transport received error -4"));
    } else {
        try {
            exchange(*transport);
            ADD_FAILURE() << "no exception";
        } catch (const IOException& e) {
            EXPECT_STREQ(e.what(), "Invalid HID packet id received");
        }
    }
    EXPECT_TRUE(transport->isOpen());
    expectTokenInfo(*transport, serial);
}

TEST_P(SimulatedDevices, GarbageAnswerReachesTheCallerAndHarmsNothing) {
    const std::string serial = listSerials().at(0);
    std::unique_ptr<CHIDTransport> transport = openDevice(serial);
    control("garbage 0");
    Response response;
    const std::vector<uint8_t> garbage = exchange(*transport);
    EXPECT_FALSE(garbage.empty());
    EXPECT_FALSE(decodeTokenInfo(garbage, response) && response.has_token_info);
    expectTokenInfo(*transport, serial);
}

TEST_P(SimulatedDevices, DroppedAnswerReadsAsNothing) {
    const std::string serial = listSerials().at(0);
    std::unique_ptr<CHIDTransport> transport = openDevice(serial, 300);
    control("drop 0");
    EXPECT_TRUE(exchange(*transport).empty());
    if (u2f()) {
        EXPECT_TRUE(log_.has(talvoranth::LOG_INFO, "hid transport received timeout"));
    }
    transport->setTimeout(10000);
    expectTokenInfo(*transport, serial);
}

TEST_P(SimulatedDevices, LateAnswerWithinTheTimeOutArrives) {
    const std::string serial = listSerials().at(1);
    std::unique_ptr<CHIDTransport> transport = openDevice(serial, 20000);
    control("delay 1 300");
    expectTokenInfo(*transport, serial);
}

TEST_P(SimulatedDevices, VanishedDeviceFailsCleanlyAndComesBack) {
    const std::vector<std::string> serials = listSerials();
    ASSERT_EQ(serials.size(), 2u);
    std::unique_ptr<CHIDTransport> transport = openDevice(serials[0], 2000);
    control("vanish 0 6000");

    // Gone from the list, and the open device no longer takes messages.
    EXPECT_EQ(listSerials(), std::vector<std::string>{serials[1]});
    const std::vector<uint8_t> request = tokenInfoRequest();
    EXPECT_THROW(transport->write(request.data(), static_cast<int>(request.size())), IOException);
    EXPECT_THROW(openDevice(serials[0]), IOException);

    // Back after a while: it opens again and answers.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (listSerials().size() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(listSerials(), serials);
    transport->setTimeout(10000);
    transport->open();
    expectTokenInfo(*transport, serials[0]);
}

TEST_P(SimulatedDevices, VanishFailsAReadThatWaitsWithoutLimit) {
    auto backend = talvoranth::makeVirtualHidBackend(address_);
    std::unique_ptr<talvoranth::IHidDevice> device = backend->openPath("vexa-sim:0");
    ASSERT_NE(device, nullptr);
    std::future<int> read = std::async(std::launch::async, [&device] {
        uint8_t in[65];
        return device->readTimeout(in, sizeof in, -1);
    });
    control("vanish 0 60000");
    ASSERT_EQ(read.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(read.get(), -1);
    EXPECT_EQ(device->errorText(), std::wstring(L"the device was disconnected"));
    // Gone for good on this opening: reads and writes fail with the reason
    // (once the end of the connection, which follows the error, arrived).
    uint8_t in[65];
    EXPECT_EQ(device->readTimeout(in, sizeof in, 30000), -1);
    const std::vector<uint8_t> out(device->outputReportLength(), 0);
    EXPECT_EQ(device->write(out.data(), out.size()), -1);
    EXPECT_EQ(device->errorText(), std::wstring(L"the device was disconnected"));
}

INSTANTIATE_TEST_SUITE_P(FramingsAndLinks, SimulatedDevices,
                         ::testing::Combine(::testing::Values("u2f", "plain"),
                                            ::testing::Values("unix", "tcp")),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param)) + "_" +
                                    std::get<1>(info.param);
                         });

}  // namespace
