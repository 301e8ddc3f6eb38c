// The socket, event and private-file functions of the platform layer, on
// real sockets over loopback and real files.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include <io.h>
#include <sddl.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/platform.h"
#include "platform/wake_event.h"
#include "support/temp_dir.h"

namespace {

using namespace vexa::platform;

#ifdef _WIN32
using RawSocket = SOCKET;
void closeRaw(RawSocket s) {
    ::closesocket(s);
}
#else
using RawSocket = int;
void closeRaw(RawSocket s) {
    ::close(s);
}
#endif

// A listening TCP socket on a free loopback port.
struct Listener {
    RawSocket socket = ::socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    Listener() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length), 0);
        EXPECT_EQ(::listen(socket, 4), 0);
        port = ntohs(address.sin_port);
    }
    ~Listener() { closeRaw(socket); }
};

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(PlatformWakeEventTest, ReadableExactlyWhileSet) {
    WakeEvent event;
    const int descriptor = event.descriptor();
    EXPECT_EQ(waitForInput(&descriptor, 1, 0), 0u);
    event.set();
    event.set();
    EXPECT_EQ(waitForInput(&descriptor, 1, -1), 1u);
    event.clear();
    EXPECT_EQ(waitForInput(&descriptor, 1, 0), 0u);
    // However often it was set, one clear ends it; a full event stays set.
    for (int i = 0; i < 5000; ++i) {
        event.set();
    }
    EXPECT_EQ(waitForInput(&descriptor, 1, 0), 1u);
    event.clear();
    EXPECT_EQ(waitForInput(&descriptor, 1, 0), 0u);
}

TEST(PlatformNetTest, ConnectedSocketWaitsWithAnEvent) {
    Listener listener;
    std::string error;
    const int client = connectTcp("127.0.0.1", listener.port, 5000, &error);
    ASSERT_GE(client, 0) << error;
    EXPECT_TRUE(setTcpNoDelay(client));
    const RawSocket server = ::accept(listener.socket, nullptr, nullptr);
    WakeEvent event;
    const int descriptors[2] = {static_cast<int>(server), event.descriptor()};
    EXPECT_EQ(waitForInput(descriptors, 2, 0), 0u);

    ASSERT_EQ(sendNoSignal(client, "hi", 2), 2);
    EXPECT_EQ(waitForInput(descriptors, 2, -1), 1u);
    event.set();
    char received[2];
    EXPECT_EQ(::recv(server, received, 2, 0), 2);
    EXPECT_EQ(waitForInput(descriptors, 2, -1), 2u);

    // The peer's end counts as input, and a later send fails without a
    // signal ending the process.
    closeRaw(server);
    EXPECT_EQ(waitForInput(&client, 1, -1), 1u);
    long sent = 0;
    for (int i = 0; i < 100 && sent >= 0; ++i) {
        sent = sendNoSignal(client, "x", 1);
    }
    EXPECT_EQ(sent, -1);
    closeRaw(static_cast<RawSocket>(client));
}

TEST(PlatformNetTest, ConnectFailuresGiveAReason) {
    int closedPort;
    {
        Listener listener;
        closedPort = listener.port;
    }
    for (const char* host : {"127.0.0.1", "no-such-host.invalid"}) {
        std::string error;
        EXPECT_EQ(connectTcp(host, closedPort, 5000, &error), -1) << host;
        EXPECT_FALSE(error.empty()) << host;
    }
}

TEST(PlatformNetTest, IpAddressBytes) {
    const struct {
        const char* text;
        size_t size;
    } cases[] = {{"127.0.0.1", 4}, {"::1", 16}, {"fe80::1:2", 16}, {"localhost", 0},
                 {"1.2.3", 0},     {"", 0},     {"1.2.3.4 ", 0},   {"256.1.1.1", 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(ipAddressBytes(c.text).size(), c.size) << c.text;
    }
    EXPECT_EQ(ipAddressBytes("10.1.2.3"), (std::vector<unsigned char>{10, 1, 2, 3}));
}

class PlatformPrivateFileTest : public ::testing::Test {
protected:
    static void expectPrivate(const std::filesystem::path& path) {
        const FileAccess access = fileAccess(path.string());
        EXPECT_TRUE(access.exists) << path;
        EXPECT_TRUE(access.ownerTrusted) << path;
        EXPECT_FALSE(access.readableByOthers) << path;
        EXPECT_FALSE(access.writableByOthers) << path;
    }

    vexa::test::TempDir temp_{"vexa-private"};
    std::filesystem::path dir_ = temp_.path();
};

TEST_F(PlatformPrivateFileTest, WriteReplacesWithAPrivateFile) {
    const std::filesystem::path path = dir_ / "session";
    EXPECT_FALSE(fileAccess(path.string()).exists);
    ASSERT_TRUE(writePrivateFile(path.string(), std::string(100000, 'x')));
    ASSERT_TRUE(writePrivateFile(path.string(), "short"));
    EXPECT_EQ(readAll(path), "short");
    expectPrivate(path);
    // Nothing is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);
    EXPECT_FALSE(writePrivateFile((dir_ / "missing" / "file").string(), "data"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);
}

TEST_F(PlatformPrivateFileTest, AppendCreatesPrivatelyAndAppends) {
    const std::filesystem::path path = dir_ / "log";
    for (const char* text : {"one\n", "two\n"}) {
        const int fd = openPrivateAppend(path.string());
        ASSERT_GE(fd, 0);
        EXPECT_EQ(::write(fd, text, 4), 4);
        ::close(fd);
    }
    EXPECT_EQ(readAll(path), "one\ntwo\n");
    expectPrivate(path);
    EXPECT_LT(openPrivateAppend((dir_ / "missing" / "log").string()), 0);
}

TEST_F(PlatformPrivateFileTest, OthersAccessIsSeen) {
    const std::filesystem::path path = dir_ / "shared";
    std::ofstream(path) << "x";
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::others_read | std::filesystem::perms::others_write);
#ifdef _WIN32
    // Mode bits mean nothing to the access list: grant Everyone access there.
    PSECURITY_DESCRIPTOR everyone = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "D:(A;;FA;;;WD)", SDDL_REVISION_1, &everyone, nullptr));
    const BOOL granted =
        SetFileSecurityA(path.string().c_str(), DACL_SECURITY_INFORMATION, everyone);
    LocalFree(everyone);
    ASSERT_TRUE(granted);
#endif
    const FileAccess access = fileAccess(path.string());
    EXPECT_TRUE(access.ownerTrusted);
    EXPECT_TRUE(access.readableByOthers);
    EXPECT_TRUE(access.writableByOthers);
}

}  // namespace
