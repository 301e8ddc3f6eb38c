// The TCP form of the virtual device's link: every message behind its
// little-endian u32 length, over a real loopback connection. A message that
// arrives in pieces is kept until it is whole, several in one piece come
// out one by one, and a peer that breaks the framing ends the connection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/device_lock.h"
#include "platform/socket.h"
#include "device_link/virtual_wire.h"

namespace {

namespace wire = vexa::virtual_wire;
namespace platform = vexa::platform;
using Bytes = std::vector<uint8_t>;

// A connected pair over 127.0.0.1: the channel under test, and its peer,
// which also writes raw bytes.
class TcpChannel : public ::testing::Test {
protected:
    void SetUp() override { connect(); }

    void connect() {
        std::string error;
        const platform::SocketHandle listener = platform::listenTcp("127.0.0.1", "0", error);
        ASSERT_NE(listener, platform::kNoSocket) << error;
        const std::string port = std::to_string(platform::localPort(listener));
        channel_ = wire::connectTo("tcp:127.0.0.1:" + port);
        peer_ = wire::Channel(platform::acceptTcp(listener), true);
        platform::closeSocket(listener);
        ASSERT_TRUE(channel_.isOpen());
        ASSERT_TRUE(peer_.isOpen());
    }

    void peerSends(const Bytes& bytes) {
        ASSERT_TRUE(platform::sendAll(peer_.handle(), bytes.data(), bytes.size()));
    }
    // Waits for one message from the channel on the peer's side.
    Bytes peerReceives() {
        Bytes message;
        const long n = peer_.receive(message, 30000);
        message.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return message;
    }

    wire::Channel channel_;
    wire::Channel peer_;
    Bytes buffer_;
};

TEST_F(TcpChannel, MessageInPiecesIsKeptUntilWhole) {
    const Bytes framed = {3, 0, 0, 0, wire::WRITE_REPLY, 0xAB, 0xCD};
    for (size_t i = 0; i + 1 < framed.size(); ++i) {
        peerSends({framed[i]});
        EXPECT_EQ(channel_.receive(buffer_, 0), 0) << "after byte " << i;
    }
    EXPECT_TRUE(channel_.hasBuffered());
    peerSends({framed.back()});
    ASSERT_EQ(channel_.receive(buffer_, 30000), 3);
    EXPECT_EQ(Bytes(buffer_.begin(), buffer_.begin() + 3), (Bytes{wire::WRITE_REPLY, 0xAB, 0xCD}));
    EXPECT_FALSE(channel_.hasBuffered());
}

TEST_F(TcpChannel, SeveralMessagesInOnePieceComeOutOneByOne) {
    peerSends({1, 0, 0, 0, wire::ENUMERATE, 2, 0, 0, 0, wire::OPEN, 7});
    ASSERT_EQ(channel_.receive(buffer_, 30000), 1);
    EXPECT_EQ(buffer_[0], wire::ENUMERATE);
    EXPECT_TRUE(channel_.hasBuffered()) << "the second waits in the channel, not the socket";
    ASSERT_EQ(channel_.receive(buffer_, 0), 2);
    EXPECT_EQ(buffer_[1], 7);
}

TEST_F(TcpChannel, SentMessagesArriveWholeOfEverySize) {
    Bytes large(wire::kMaxMessage, 0x5A);
    large[0] = wire::WRITE;
    for (const Bytes& message : {Bytes{wire::ENUMERATE}, large}) {
        ASSERT_TRUE(channel_.send(message));
        EXPECT_EQ(peerReceives(), message);
    }
    EXPECT_EQ(channel_.trySend(Bytes{wire::CONTROL, 1}), wire::SendResult::Sent);
    EXPECT_EQ(peerReceives(), (Bytes{wire::CONTROL, 1}));
    EXPECT_FALSE(channel_.send(Bytes(wire::kMaxMessage + 1, 0))) << "too large to send";
}

TEST_F(TcpChannel, BrokenFramingOrAnEndInsideAMessageEndsTheConnection) {
    struct Case {
        const char* what;
        Bytes bytes;
    };
    const Case cases[] = {
        {"length 0", {0, 0, 0, 0}},
        {"length beyond the largest message", {0x01, 0x00, 0x01, 0x00, 1}},
        {"the peer leaves inside a message", {5, 0, 0, 0, wire::WRITE}},
    };
    for (const Case& c : cases) {
        connect();
        peerSends(c.bytes);
        peer_.shutdown();
        EXPECT_EQ(channel_.receive(buffer_, 30000), -1) << c.what;
    }
}

TEST(VirtualWireAddress, HostAndPortAreSplit) {
    std::string host;
    std::string port;
    ASSERT_TRUE(wire::splitHostPort("127.0.0.1:4443", host, port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, "4443");
    ASSERT_TRUE(wire::splitHostPort("[::1]:80", host, port));
    EXPECT_EQ(host, "::1");
    for (const char* bad : {"", "4443", ":4443", "host:", "host:https", "[]:1"}) {
        EXPECT_FALSE(wire::splitHostPort(bad, host, port)) << bad;
    }
    EXPECT_FALSE(wire::connectTo("tcp:no-port").isOpen());
}

// A Unix socket keeps its devices' lock files beside it; a TCP address
// has no file, so they lie in the machine's shared directory under a name
// that no character of the address can lead out of.
TEST(VirtualWireAddress, LockFilesOfSocketAndTcpLinks) {
    EXPECT_EQ(wire::deviceLockFile("/run/sim.sock", "vexa-sim:0"), "/run/sim.sock.vexa-sim-0.lock");
    const std::string shared = platform::DeviceLock::sharedDirectory();
    EXPECT_EQ(wire::deviceLockFile("tcp:127.0.0.1:5000", "vexa-sim:1"),
              shared + "vexa-sim-tcp-127-0-0-1-5000.vexa-sim-1.lock");
    EXPECT_EQ(wire::deviceLockFile("tcp:[::1]:80", "../x"),
              shared + "vexa-sim-tcp----1--80.---x.lock");
    EXPECT_NE(wire::deviceLockFile("tcp:localhost:5000", "vexa-sim:0"),
              wire::deviceLockFile("tcp:localhost:5001", "vexa-sim:0"));
}

}  // namespace
