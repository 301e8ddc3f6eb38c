// The real vexa-sim process, spoken to by hand over its socket: what it
// announces, what it enumerates, a token-information exchange framed byte
// by byte in each framing, its control command line, its state file across
// a restart, and a clean end on SIGINT and SIGTERM.
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "device_link/virtual_wire.h"
#include "sim/firmware/codec.h"
#include "support/child_process.h"
#include "support/function_id.h"
#include "support/temp_dir.h"

namespace vexa::sim {
namespace {

using F = rpc::FunctionId;
using test::id;
namespace wire = vexa::virtual_wire;
using vexa::test::ChildProcess;

constexpr int kWaitMs = 30000;

std::string program() {
    const char* dir = std::getenv("VEXA_BIN_DIR");
    return std::string(dir ? dir : ".") + "/vexa-sim";
}

Bytes encoded(const DeviceRequest& request) {
    Bytes bytes;
    EXPECT_TRUE(encodeRequest(request, bytes));
    return bytes;
}

Bytes tokenInfoRequest() {
    DeviceRequest r;
    r.functionId = id(F::GetTokenInfo);
    return encoded(r);
}

std::string text(const uint8_t* bytes, size_t size) {
    return std::string(reinterpret_cast<const char*>(bytes), size);
}

// One connection to the simulator, used the way the virtual HID backend
// uses it.
class WireClient {
public:
    explicit WireClient(const std::string& address) : channel_(wire::connectTo(address)) {}
    bool connected() const { return channel_.isOpen(); }

    // Sends one message and returns the reply's reader (type byte checked).
    // Reports the device pushes before the reply are kept for read().
    std::optional<wire::Reader> roundTrip(const wire::Writer& message, uint8_t replyType) {
        if (!channel_.send(message.bytes())) {
            return std::nullopt;
        }
        for (;;) {
            const long n = channel_.receive(reply_, kWaitMs);
            if (n <= 0) {
                return std::nullopt;
            }
            if (reply_[0] == wire::REPORT) {
                pushed_.emplace_back(reply_.begin(), reply_.begin() + n);
                continue;
            }
            if (reply_[0] != replyType) {
                return std::nullopt;
            }
            return wire::Reader(reply_.data() + 1, static_cast<size_t>(n) - 1);
        }
    }

    // Reports that arrived before a reply and wait for read().
    size_t pushedBeforeReply() const { return pushed_.size(); }
    std::vector<wire::DeviceRecord> enumerate() {
        std::vector<wire::DeviceRecord> records;
        std::optional<wire::Reader> in =
            roundTrip(wire::Writer(wire::ENUMERATE), wire::ENUMERATE_REPLY);
        EXPECT_TRUE(in);
        if (in) {
            for (uint16_t n = in->u16(); n > 0 && in->ok(); --n) {
                records.push_back(in->record());
            }
            EXPECT_TRUE(in->ok());
        }
        return records;
    }

    // Opens path; the report length on success, 0 when refused.
    uint16_t open(const std::string& path, uint32_t* settleMs = nullptr) {
        std::optional<wire::Reader> in =
            roundTrip(wire::Writer(wire::OPEN).str(path), wire::OPEN_REPLY);
        if (!in) {
            return 0;
        }
        const uint8_t status = in->u8();
        const uint32_t settle = in->u32();
        const uint16_t length = in->u16();
        if (settleMs) {
            *settleMs = settle;
        }
        return status == 0 ? length : 0;
    }

    int write(const Bytes& report, std::string* error = nullptr) {
        std::optional<wire::Reader> in = roundTrip(
            wire::Writer(wire::WRITE).raw(report.data(), report.size()), wire::WRITE_REPLY);
        if (!in) {
            return -2;
        }
        const int32_t result = in->i32();
        const std::string why = in->str();
        if (error) {
            *error = why;
        }
        return result;
    }

    // The next report the device pushed: its length, -1 for an error
    // record (its text in *error), 0 when none comes within timeoutMs, -2
    // when the connection ended or the message is not a report.
    int read(Bytes& report, int timeoutMs = kWaitMs, std::string* error = nullptr) {
        Bytes message;
        if (!pushed_.empty()) {
            message = std::move(pushed_.front());
            pushed_.pop_front();
        } else {
            const long n = channel_.receive(reply_, timeoutMs);
            if (n <= 0) {
                return n == 0 ? 0 : -2;
            }
            message.assign(reply_.begin(), reply_.begin() + n);
        }
        if (message[0] != wire::REPORT) {
            return -2;
        }
        wire::Reader in(message.data() + 1, message.size() - 1);
        const int32_t result = in.i32();
        const std::string why = in.str();
        if (error) {
            *error = why;
        }
        report.assign(in.rest(), in.rest() + in.remaining());
        return in.ok() ? result : -2;
    }

    // U2FHID by hand: 65-byte output reports (report id 0), 64-byte input.
    void writePacket(uint32_t channel, uint8_t command, const Bytes& payload, size_t offset,
                     size_t count, bool first, size_t total) {
        Bytes report(65, 0xEE);
        report[0] = 0x00;
        report[1] = static_cast<uint8_t>(channel >> 24);
        report[2] = static_cast<uint8_t>(channel >> 16);
        report[3] = static_cast<uint8_t>(channel >> 8);
        report[4] = static_cast<uint8_t>(channel);
        report[5] = command;
        size_t at = 6;
        if (first) {
            report[6] = static_cast<uint8_t>(total >> 8);
            report[7] = static_cast<uint8_t>(total);
            at = 8;
        }
        std::copy_n(payload.begin() + static_cast<long>(offset), count,
                    report.begin() + static_cast<long>(at));
        ASSERT_EQ(write(report), 65);
    }

    uint32_t allocateChannel() {
        const Bytes nonce = {9, 8, 7, 6, 5, 4, 3, 2};
        writePacket(0xFFFFFFFF, 0x86, nonce, 0, 8, true, 8);
        Bytes packet;
        if (read(packet) != 64) {
            return 0;
        }
        EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 7),
                  (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x86, 0x00, 17}));
        EXPECT_EQ(Bytes(packet.begin() + 7, packet.begin() + 15), nonce);
        return uint32_t{packet[15]} << 24 | uint32_t{packet[16]} << 16 | uint32_t{packet[17]} << 8 |
               packet[18];
    }

    void sendU2f(uint32_t channel, const Bytes& message) {
        size_t sent = std::min<size_t>(message.size(), 57);
        writePacket(channel, 0xC0, message, 0, sent, true, message.size());
        for (uint8_t sequence = 0; sent < message.size(); ++sequence) {
            const size_t take = std::min<size_t>(message.size() - sent, 59);
            writePacket(channel, sequence, message, sent, take, false, 0);
            sent += take;
        }
    }

    // The message of the next U2FHID answer on channel; *command gets its
    // command byte.
    Bytes receiveU2f(uint32_t channel, uint8_t* command) {
        Bytes packet;
        if (read(packet) != 64) {
            return {};
        }
        EXPECT_EQ(uint32_t{packet[0]} << 24 | uint32_t{packet[1]} << 16 | uint32_t{packet[2]} << 8 |
                      packet[3],
                  channel);
        *command = packet[4];
        const size_t total = size_t{packet[5]} << 8 | packet[6];
        Bytes message(packet.begin() + 7, packet.begin() + 7 + std::min<size_t>(total, 57));
        for (uint8_t sequence = 0; message.size() < total; ++sequence) {
            if (read(packet) != 64 || packet[4] != sequence) {
                ADD_FAILURE() << "continuation " << int(sequence) << " missing";
                return {};
            }
            const size_t take = std::min<size_t>(total - message.size(), 59);
            message.insert(message.end(), packet.begin() + 5,
                           packet.begin() + 5 + static_cast<long>(take));
        }
        return message;
    }

    std::optional<DeviceResponse> callU2f(uint32_t channel, const Bytes& request) {
        sendU2f(channel, request);
        uint8_t command = 0;
        const Bytes message = receiveU2f(channel, &command);
        EXPECT_EQ(command, 0xC0);
        return decodeResponse(message.data(), message.size());
    }

private:
    wire::Channel channel_;
    std::vector<uint8_t> reply_;
    std::deque<Bytes> pushed_;
};

class SimProcess : public ::testing::Test {
protected:
    void SetUp() override { socket_ = dir_.file("sim.sock"); }
    void TearDown() override { sim_.reset(); }

    void start(std::vector<std::string> args) {
        args.insert(args.begin(), {"--socket", socket_, "--settle-ms", "0"});
        sim_ = std::make_unique<ChildProcess>(program(), args);
        ASSERT_TRUE(sim_->waitForStdout("vexa-sim: ready")) << sim_->out() << sim_->err();
    }

    // Runs `vexa-sim --socket S --control COMMAND`; its exit status.
    int control(const std::string& command, std::string* output = nullptr) {
        ChildProcess tool(program(), {"--socket", socket_, "--control", command});
        const std::optional<int> status = tool.waitExit();
        if (output) {
            *output = tool.out() + tool.err();
        }
        return status.value_or(-1000);
    }

    vexa::test::TempDir dir_{"vexa-simproc"};
    std::string socket_;
    std::unique_ptr<ChildProcess> sim_;
};

TEST_F(SimProcess, AnnouncesAndEnumeratesItsDevices) {
    start({"--devices", "2", "--serial", "a1b2c3d4e5f6", "--product", "Dorvik"});
    const std::string out = sim_->out();
    EXPECT_NE(out.find("vexa-sim: listening on " + socket_ + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("serial A1B2C3D4E5F6, product Dorvik"), std::string::npos) << out;
    EXPECT_NE(out.find("serial 564558410002, product Vexa"), std::string::npos) << out;

    WireClient client(socket_);
    ASSERT_TRUE(client.connected());
    const std::vector<wire::DeviceRecord> records = client.enumerate();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].serialNumber, "A1B2C3D4E5F6");
    EXPECT_EQ(records[0].product, "Dorvik");
    EXPECT_EQ(records[1].serialNumber, "564558410002");
    for (const wire::DeviceRecord& r : records) {
        EXPECT_EQ(r.vendorId, 0x0483);
        EXPECT_EQ(r.productId, 0xA2AC);
        EXPECT_EQ(r.manufacturer, "Talvoranth");
        EXPECT_EQ(r.reportLength, 64);
        EXPECT_NE(r.path, "");
    }
    EXPECT_NE(records[0].path, records[1].path);
}

TEST_F(SimProcess, TokenInformationOverU2fByHand) {
    start({"--devices", "2"});
    WireClient client(socket_);
    const std::vector<wire::DeviceRecord> records = client.enumerate();
    ASSERT_EQ(records.size(), 2u);
    uint32_t settle = 99;
    ASSERT_EQ(client.open(records[1].path, &settle), 64);
    EXPECT_EQ(settle, 0u);
    const uint32_t channel = client.allocateChannel();
    ASSERT_NE(channel, 0u);
    ASSERT_NE(channel, 0xFFFFFFFFu);
    std::optional<DeviceResponse> response = client.callU2f(channel, tokenInfoRequest());
    ASSERT_TRUE(response);
    EXPECT_EQ(response->rv, 0u);
    ASSERT_TRUE(response->tokenInfo);
    const ::TokenInfo& info = *response->tokenInfo;
    EXPECT_EQ(text(info.serial_number.bytes, info.serial_number.size), "564558410002    ");
    EXPECT_EQ(text(info.label.bytes, 10), "Vexa Token");
    EXPECT_EQ(text(info.model.bytes, 4), "Vexa");
}

TEST_F(SimProcess, TokenInformationOverPlainFramingByHand) {
    start({"--framing", "plain", "--report-length", "32"});
    WireClient client(socket_);
    const std::vector<wire::DeviceRecord> records = client.enumerate();
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(client.open(records[0].path), 32);
    // The channel allocation goes unanswered.
    Bytes allocation(65, 0);
    allocation[1] = allocation[2] = allocation[3] = allocation[4] = 0xFF;
    allocation[5] = 0x86;
    allocation[7] = 8;
    ASSERT_EQ(client.write(allocation), 65);
    Bytes report;
    EXPECT_EQ(client.read(report, 250), 0);

    const Bytes request = tokenInfoRequest();
    ASSERT_LE(request.size(), 33u - 5u);
    Bytes out(33, 0);
    out[0] = 0x01;
    out[2] = static_cast<uint8_t>(request.size());
    std::copy(request.begin(), request.end(), out.begin() + 5);
    ASSERT_EQ(client.write(out), 33);

    ASSERT_EQ(client.read(report), 33);
    ASSERT_EQ(report[0], 0x01);
    ASSERT_EQ(report[1], 0x00);
    const size_t total = size_t{report[2]} | size_t{report[3]} << 8 | size_t{report[4]} << 16;
    Bytes message(report.begin() + 5, report.end());
    while (message.size() < total) {
        ASSERT_EQ(client.read(report), 33);
        ASSERT_EQ(report[1], 0x01);
        message.insert(message.end(), report.begin() + 2, report.end());
    }
    message.resize(total);
    std::optional<DeviceResponse> response = decodeResponse(message.data(), message.size());
    ASSERT_TRUE(response && response->tokenInfo);
    EXPECT_EQ(text(response->tokenInfo->serial_number.bytes, 12), "564558410001");
}

// A real device cannot see a program end: a session, and the login, outlive
// the connection that made them; the host must close them. Each device's
// lock file lies beside the socket, open to every user.
TEST_F(SimProcess, SessionsAndLoginOutliveTheirConnection) {
    start({});
    const std::string lockFile = wire::deviceLockFile(socket_, "vexa-sim:0");
    struct stat info {};
    ASSERT_EQ(::stat(lockFile.c_str(), &info), 0) << lockFile;
    EXPECT_EQ(info.st_mode & 0777, 0666u);

    uint32_t session = 0;
    {
        WireClient first(socket_);
        ASSERT_EQ(first.open(first.enumerate().at(0).path), 64);
        const uint32_t channel = first.allocateChannel();
        DeviceRequest open;
        open.functionId = id(F::OpenSession);
        open.value = CKF_SERIAL_SESSION;
        std::optional<DeviceResponse> opened = first.callU2f(channel, encoded(open));
        ASSERT_TRUE(opened && opened->rv == CKR_OK && opened->handle);
        session = *opened->handle;
        DeviceRequest login;
        login.functionId = id(F::Login);
        login.session = session;
        login.value = CKU_USER;
        login.data = Bytes{'1', '2', '3', '4', '5', '6'};
        std::optional<DeviceResponse> loggedIn = first.callU2f(channel, encoded(login));
        ASSERT_TRUE(loggedIn && loggedIn->rv == CKR_OK);
    }
    WireClient second(socket_);
    ASSERT_EQ(second.open(second.enumerate().at(0).path), 64);
    const uint32_t channel = second.allocateChannel();
    DeviceRequest query;
    query.functionId = id(F::GetSessionInfo);
    query.session = session;
    std::optional<DeviceResponse> state = second.callU2f(channel, encoded(query));
    ASSERT_TRUE(state && state->rv == CKR_OK && state->sessionInfo);
    EXPECT_EQ(state->sessionInfo->state, static_cast<uint32_t>(CKS_RO_USER_FUNCTIONS));
}

TEST_F(SimProcess, ControlCommandLineInjectsFaults) {
    start({"--devices", "2"});
    std::string output;
    EXPECT_EQ(control("error 1 4", &output), 0) << output;
    EXPECT_NE(output.find("ok"), std::string::npos);
    EXPECT_EQ(control("error 5 4", &output), 1);
    EXPECT_NE(output.find("no device"), std::string::npos) << output;
    EXPECT_EQ(control("explode 0", &output), 1);
    EXPECT_NE(output.find("unknown control command"), std::string::npos) << output;

    WireClient client(socket_);
    const std::vector<wire::DeviceRecord> records = client.enumerate();
    ASSERT_EQ(client.open(records[1].path), 64);
    const uint32_t channel = client.allocateChannel();
    client.sendU2f(channel, tokenInfoRequest());
    uint8_t command = 0;
    EXPECT_EQ(client.receiveU2f(channel, &command), Bytes{4});
    EXPECT_EQ(command, 0xBF);
    // Used up; a vanish takes the device away from the enumeration.
    std::optional<DeviceResponse> response = client.callU2f(channel, tokenInfoRequest());
    ASSERT_TRUE(response);
    EXPECT_EQ(response->rv, 0u);
    EXPECT_EQ(control("vanish 564558410002 60000", &output), 0) << output;
    WireClient other(socket_);
    EXPECT_EQ(other.enumerate().size(), 1u);
    EXPECT_EQ(other.open(records[1].path), 0);
    // The open connection's last message says why it ends.
    Bytes report;
    std::string error;
    EXPECT_EQ(client.read(report, kWaitMs, &error), -1);
    EXPECT_EQ(error, "the device was disconnected");
    EXPECT_EQ(client.read(report, kWaitMs), -2);
}

TEST_F(SimProcess, ReportsArePushedAfterTheReplyOfTheirWrite) {
    start({});
    WireClient client(socket_);
    ASSERT_EQ(client.open(client.enumerate().at(0).path), 64);
    const uint32_t channel = client.allocateChannel();
    ASSERT_NE(channel, 0u);
    // A request of several reports: each WRITE_REPLY comes before any
    // report of the answer.
    DeviceRequest info;
    info.functionId = id(F::GetTokenInfo);
    info.data = Bytes(150, 0x42);  // spreads the request over three reports
    const Bytes request = encoded(info);
    ASSERT_GT(request.size(), 57u);
    client.sendU2f(channel, request);
    EXPECT_EQ(client.pushedBeforeReply(), 0u);
    uint8_t command = 0;
    const Bytes answer = client.receiveU2f(channel, &command);
    EXPECT_EQ(command, 0xC0);
    std::optional<DeviceResponse> response = decodeResponse(answer.data(), answer.size());
    ASSERT_TRUE(response && response->tokenInfo);  // several reports back
    // One answer per request, and nothing after it.
    Bytes report;
    EXPECT_EQ(client.read(report, 200), 0);
}

TEST_F(SimProcess, StateFileKeepsTheTokenAcrossARestart) {
    const std::string state = dir_.file("tokens.json");
    start({"--state", state, "--user-pin", "97531357"});
    {
        WireClient client(socket_);
        ASSERT_EQ(client.open(client.enumerate().at(0).path), 64);
        const uint32_t channel = client.allocateChannel();
        DeviceRequest init;
        init.functionId = id(F::InitToken);
        init.data = Bytes{'1', '2', '3', '4', '5', '6', '7', '8'};
        init.data2 = Bytes(32, ' ');
        std::copy_n("Persisted", 9, init.data2->begin());
        std::optional<DeviceResponse> response = client.callU2f(channel, encoded(init));
        ASSERT_TRUE(response);
        ASSERT_EQ(response->rv, 0u);
    }
    sim_->stop();
    std::ifstream file(state);
    std::stringstream content;
    content << file.rdbuf();
    EXPECT_NE(content.str().find("564558410001"), std::string::npos);
    EXPECT_EQ(content.str().find("12345678"), std::string::npos);
    EXPECT_EQ(content.str().find("97531357"), std::string::npos);

    start({"--state", state});
    WireClient client(socket_);
    ASSERT_EQ(client.open(client.enumerate().at(0).path), 64);
    std::optional<DeviceResponse> response =
        client.callU2f(client.allocateChannel(), tokenInfoRequest());
    ASSERT_TRUE(response && response->tokenInfo);
    EXPECT_EQ(text(response->tokenInfo->label.bytes, 9), "Persisted");
    EXPECT_EQ(response->tokenInfo->flags & 0x8, 0u);  // CKF_USER_PIN_INITIALIZED cleared
}

TEST_F(SimProcess, DamagedStateFileStopsTheStartAndIsKept) {
    const std::string state = dir_.file("tokens.json");
    std::ofstream(state) << "{ not json";
    ChildProcess sim(program(), {"--socket", socket_, "--state", state});
    EXPECT_EQ(sim.waitExit(), std::optional<int>(1));
    EXPECT_NE(sim.err().find("is not a vexa-sim state file"), std::string::npos) << sim.err();
    std::ifstream file(state);
    std::stringstream content;
    content << file.rdbuf();
    EXPECT_EQ(content.str(), "{ not json");
}

class SimSignals : public SimProcess, public ::testing::WithParamInterface<int> {};

TEST_P(SimSignals, EndCleanlyAndRemoveTheSocket) {
    start({});
    WireClient idle(socket_);  // a connection still open must not hold it up
    ASSERT_TRUE(idle.connected());
    ASSERT_EQ(idle.open("vexa-sim:0"), 64);
    ::kill(sim_->pid(), GetParam());
    EXPECT_EQ(sim_->waitExit(), std::optional<int>(0)) << sim_->err();
    struct stat info {};
    EXPECT_NE(::lstat(socket_.c_str(), &info), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, SimSignals, ::testing::Values(SIGINT, SIGTERM));

TEST_F(SimProcess, LeftoverSocketIsReplacedButALiveOneIsNot) {
    // A socket file nobody listens on, as a killed simulator leaves it.
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::copy(socket_.begin(), socket_.end(), addr.sun_path);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    start({});

    ChildProcess second(program(), {"--socket", socket_});
    EXPECT_EQ(second.waitExit(), std::optional<int>(1));
    EXPECT_NE(second.err().find("already listens"), std::string::npos) << second.err();
    WireClient client(socket_);
    EXPECT_EQ(client.enumerate().size(), 1u);  // the first one still serves
}

TEST_F(SimProcess, MisuseOfTheSocketProtocolHurtsOnlyThatConnection) {
    start({});
    {
        WireClient client(socket_);
        std::string error;
        EXPECT_EQ(client.write(Bytes(65, 0), &error), -1);
        EXPECT_EQ(error, "no device is open");
        EXPECT_EQ(client.open("no-such-path"), 0);
        // An unknown message type ends the connection.
        EXPECT_FALSE(client.roundTrip(wire::Writer(static_cast<wire::MessageType>(0x7E)),
                                      wire::ENUMERATE_REPLY));
    }
    WireClient client(socket_);
    EXPECT_EQ(client.enumerate().size(), 1u);
}

TEST_F(SimProcess, BadCommandLineGivesUsage) {
    ChildProcess sim(program(), {"--devices", "2"});
    EXPECT_EQ(sim.waitExit(), std::optional<int>(2));
    EXPECT_NE(sim.err().find("--socket PATH or --listen HOST:PORT is required"), std::string::npos)
        << sim.err();
    EXPECT_NE(sim.err().find("usage: vexa-sim"), std::string::npos);
    for (const char* address : {"4443", "localhost:", ":4443", "localhost:port"}) {
        ChildProcess bad(program(), {"--listen", address});
        EXPECT_EQ(bad.waitExit(), std::optional<int>(2)) << address;
        EXPECT_NE(bad.err().find("--listen takes HOST:PORT"), std::string::npos) << bad.err();
    }
}

// The TCP form of the link: the address the simulator announces for port 0
// ("tcp:127.0.0.1:N").
std::string announcedTcpAddress(const std::string& out) {
    const std::string marker = "vexa-sim: listening on tcp:";
    const size_t at = out.find(marker);
    if (at == std::string::npos) {
        return {};
    }
    const size_t start = at + marker.size() - 4;
    return out.substr(start, out.find('\n', start) - start);
}

TEST_F(SimProcess, TcpListenerServesTheSameLinkWithLengthFraming) {
    sim_ = std::make_unique<ChildProcess>(
        program(),
        std::vector<std::string>{"--listen", "127.0.0.1:0", "--settle-ms", "0", "--devices", "2"});
    ASSERT_TRUE(sim_->waitForStdout("vexa-sim: ready")) << sim_->out() << sim_->err();
    const std::string address = announcedTcpAddress(sim_->out());
    ASSERT_EQ(address.rfind("tcp:127.0.0.1:", 0), 0u) << sim_->out();
    EXPECT_EQ(sim_->out().find(".sock"), std::string::npos) << "no Unix socket was asked for";

    // 1. A whole exchange with the device, as over the Unix socket.
    WireClient client(address);
    ASSERT_TRUE(client.connected());
    const std::vector<wire::DeviceRecord> records = client.enumerate();
    ASSERT_EQ(records.size(), 2u);
    ASSERT_EQ(client.open(records[0].path), 64);
    const uint32_t channel = client.allocateChannel();
    std::optional<DeviceResponse> response = client.callU2f(channel, tokenInfoRequest());
    ASSERT_TRUE(response);
    EXPECT_EQ(response->rv, 0u);
    ASSERT_TRUE(response->tokenInfo);
    EXPECT_EQ(text(response->tokenInfo->serial_number.bytes, 12), "564558410001");

    // 2. The control command line reaches it over TCP.
    const std::string hostPort = address.substr(4);
    ChildProcess tool(program(), {"--listen", hostPort, "--control", "error 1 4"});
    EXPECT_EQ(tool.waitExit(), std::optional<int>(0)) << tool.out() << tool.err();

    // 3. A peer that breaks the length framing (an impossible length, then
    //    a stream that ends inside a message) loses only its own connection.
    for (const Bytes& garbage : {Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x01}, Bytes{0x00, 0x00, 0x00, 0x00},
                                 Bytes{0x10, 0x00, 0x00, 0x00, 0x01}}) {
        const vexa::platform::SocketHandle raw =
            vexa::platform::connectTcp("127.0.0.1", address.substr(14));
        ASSERT_NE(raw, vexa::platform::kNoSocket);
        EXPECT_TRUE(vexa::platform::sendAll(raw, garbage.data(), garbage.size()));
        vexa::platform::closeSocket(raw);
    }
    WireClient after(address);
    EXPECT_EQ(after.enumerate().size(), 2u);
    response = client.callU2f(channel, tokenInfoRequest());
    ASSERT_TRUE(response);
    EXPECT_EQ(response->rv, 0u);
}

}  // namespace
}  // namespace vexa::sim
