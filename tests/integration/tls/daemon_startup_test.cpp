// Start-up of the real vexa-daemon: every failure of the set-up is two
// exact error lines and exit status 1, and nothing is bound before the
// certificates and key have been read.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "integration/tls/test_env.h"
#include "integration/tls/tls_test_client.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using testing::EndsWith;
using vexa::test::ChildProcess;

// What the daemon says before it reads any file, with no device attached.
const std::string kAnnouncement = "vexa-daemon V1.6 starting.\r\nDevice SN: SN-404\r\n";
const std::string kWarning = "ERROR: Warning, device SN-404 not found on startup.\r\n";

std::string LastError(int code) {
    char text[100];
    mbedtls_strerror(code, text, sizeof text);
    return "ERROR: Last error message was: " + std::to_string(code) + " - " + text + "\r\n";
}

class DaemonStartupTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(pki_.serverCert.empty()); }

    struct Files {
        std::string cert, ca, key;
        std::string clientCa = "";
    };
    Files good() const { return {pki_.serverCert, pki_.caCert, pki_.serverKey}; }

    // The daemon in a console run, in an empty working directory, with no
    // device attached (the virtual device socket names nothing).
    std::unique_ptr<ChildProcess> start(const Files& f, int port, const std::string& keyPass,
                                        const std::string& serial = "SN-404") {
        std::vector<std::string> args = {
            "-d",  serial, "-i",   "127.0.0.1", "-p",   std::to_string(port),
            "-ca", f.ca,   "-crt", f.cert,      "-key", f.key};
        if (!f.clientCa.empty()) {
            args.insert(args.end(), {"-clientca", f.clientCa});
        }
        std::map<std::string, std::string> env = {
            {"VEXA_KEY_PASS", keyPass}, {"VEXA_VIRTUAL_DEVICE", work_.file("no-sim.sock")}};
        return std::make_unique<ChildProcess>(vexa::test::BinDir() + "/vexa-daemon", args, env,
                                              work_.path());
    }

    const vexa::test::TestPki& pki_ = vexa::test::SuitePki();
    vexa::test::TempDir work_;
};

TEST_F(DaemonStartupTest, EachUnusableFileStopsTheStartBeforeBinding) {
    const std::string missing = work_.file("missing.pem");
    struct Case {
        const char* name;
        Files files;
        std::string keyPass;
        std::string lines;  // the two error lines that end standard error
    };
    const Files ok = good();
    const std::vector<Case> cases = {
        {"certificate missing",
         {missing, ok.ca, ok.key},
         "",
         "ERROR: Failed to open cert file " + missing + ": -15872\r\n" + LastError(-15872)},
        {"certificate not a certificate",
         {ok.key, ok.ca, ok.key},
         "",
         "ERROR: server cert parse returned: " + std::to_string(MBEDTLS_ERR_X509_INVALID_FORMAT) +
             "\r\n" + LastError(MBEDTLS_ERR_X509_INVALID_FORMAT)},
        {"CA file missing",
         {ok.cert, missing, ok.key},
         "",
         "ERROR: CA cert chain parse returned: -15872\r\n" + LastError(-15872)},
        {"key file missing",
         {ok.cert, ok.ca, missing},
         "",
         "ERROR: server key parse returned: -15872\r\n" + LastError(-15872)},
        {"encrypted key, wrong password",
         {ok.cert, ok.ca, pki_.serverKeyEncrypted},
         "not-the-password",
         "ERROR: server key parse returned: " + std::to_string(MBEDTLS_ERR_PK_PASSWORD_MISMATCH) +
             "\r\n" + LastError(MBEDTLS_ERR_PK_PASSWORD_MISMATCH)},
        {"encrypted key, no password",
         {ok.cert, ok.ca, pki_.serverKeyEncrypted},
         "",
         "ERROR: server key parse returned: " + std::to_string(MBEDTLS_ERR_PK_PASSWORD_REQUIRED) +
             "\r\n" + LastError(MBEDTLS_ERR_PK_PASSWORD_REQUIRED)},
        // OpenSSL 3's default encrypted form says what is wrong, too.
        {"PKCS#8 encrypted key, wrong password",
         {ok.cert, ok.ca, pki_.serverKeyPkcs8},
         "not-the-password",
         "ERROR: server key parse returned: " + std::to_string(MBEDTLS_ERR_PK_PASSWORD_MISMATCH) +
             "\r\n" + LastError(MBEDTLS_ERR_PK_PASSWORD_MISMATCH)},
        {"PKCS#8 encrypted key, no password",
         {ok.cert, ok.ca, pki_.serverKeyPkcs8},
         "",
         "ERROR: server key parse returned: " + std::to_string(MBEDTLS_ERR_PK_PASSWORD_REQUIRED) +
             "\r\n" + LastError(MBEDTLS_ERR_PK_PASSWORD_REQUIRED)},
        // A key of another certificate would fail every handshake.
        {"key of another certificate",
         {ok.cert, ok.ca, pki_.otherServerKey},
         "",
         "ERROR: server key " + pki_.otherServerKey + " does not match the certificate " + ok.cert +
             "\r\n" + LastError(MBEDTLS_ERR_ECP_BAD_INPUT_DATA)},
        {"client CA file missing",
         {ok.cert, ok.ca, ok.key, missing},
         "",
         "ERROR: client CA file " + missing + " parse returned: -15872\r\n" + LastError(-15872)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto daemon = start(c.files, vexa::test::FreeLoopbackPort(), c.keyPass);
        EXPECT_EQ(1, daemon->waitExit());
        EXPECT_THAT(daemon->out(), EndsWith(kAnnouncement));
        EXPECT_THAT(daemon->err(), EndsWith(kWarning + c.lines));
    }
}

TEST_F(DaemonStartupTest, NoSerialAndNoDeviceIsNothingToWarnAbout) {
    const std::string missing = work_.file("missing.pem");
    auto daemon =
        start({missing, pki_.caCert, pki_.serverKey}, vexa::test::FreeLoopbackPort(), "", "");
    EXPECT_EQ(1, daemon->waitExit());
    EXPECT_THAT(daemon->out(), EndsWith("Device SN: \r\n"));
    EXPECT_THAT(daemon->err(),
                EndsWith("Exception while enumerating HID devices. (Unable to reach "
                         "the virtual device at " +
                         work_.file("no-sim.sock") + ")\nERROR: Failed to open cert file " +
                         missing + ": -15872\r\n" + LastError(-15872)));
}

TEST_F(DaemonStartupTest, PortInUseFailsTheBind) {
    // Someone else listens on the port.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ASSERT_EQ(0, ::listen(fd, 1));
    ASSERT_EQ(0, ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len));
    const int port = ntohs(addr.sin_port);

    auto daemon = start(good(), port, "");
    EXPECT_EQ(1, daemon->waitExit());
    ::close(fd);
    EXPECT_THAT(daemon->out(),
                EndsWith(kAnnouncement + "Binding on 127.0.0.1:" + std::to_string(port) + "\r\n"));
    EXPECT_THAT(daemon->err(), EndsWith(kWarning + "ERROR: bind returned " +
                                        std::to_string(MBEDTLS_ERR_NET_BIND_FAILED) + "\r\n" +
                                        LastError(MBEDTLS_ERR_NET_BIND_FAILED)));
}

TEST_F(DaemonStartupTest, StartsWithTheRightKeyPasswordAndWithAPasswordItDoesNotNeed) {
    const std::vector<std::pair<std::string, std::string>> keys = {
        {pki_.serverKeyEncrypted, pki_.keyPassword},
        {pki_.serverKeyPkcs8, pki_.keyPassword},
        {pki_.serverKey, "unused-password"},
    };
    for (const auto& [key, pass] : keys) {
        SCOPED_TRACE(key);
        const int port = vexa::test::FreeLoopbackPort();
        auto daemon = start({pki_.serverCert, pki_.caCert, key}, port, pass);
        // A client gets through the handshake; with no device it is then
        // dropped, and the daemon goes on.
        for (int i = 0; i < 2; ++i) {
            vexa::test::TlsTestClient client;
            ASSERT_EQ(0, client.connect(port, pki_.caCert));
            EXPECT_TRUE(client.serverClosed());
            EXPECT_TRUE(daemon->waitForStderrCount(
                "ERROR: Could not open device on USB transport.\r\n", static_cast<size_t>(i + 1)));
        }
        EXPECT_FALSE(daemon->waitExit(std::chrono::milliseconds(0)).has_value());
    }
}

// A key others can read is used (refusing would stop a running
// installation), with a warning that says what to do.
TEST_F(DaemonStartupTest, AKeyOthersCanReadIsUsedWithAWarning) {
    const std::string key = work_.file("readable.key");
    std::filesystem::copy_file(pki_.serverKey, key);
    std::filesystem::permissions(key, std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::add);
    const int port = vexa::test::FreeLoopbackPort();
    auto daemon = start({pki_.serverCert, pki_.caCert, key}, port, "");
    vexa::test::TlsTestClient client;
    ASSERT_EQ(0, client.connect(port, pki_.caCert));
    EXPECT_THAT(daemon->err(), testing::HasSubstr("ERROR: Warning, key file " + key +
                                                  " can be read by other users; make it readable "
                                                  "by its owner only (chmod 600).\r\n"));
}

}  // namespace
