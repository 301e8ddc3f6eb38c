// Who may connect to the daemon and how: client certificates checked
// against "clientca", TLS 1.2 or later with forward-secret AEAD suites only,
// on the daemon (real openssl s_client and Python ssl clients) and in the
// module's TLS client (against real vexa-daemon and openssl s_server), the
// daemon named by host name or IP address, and session resumption.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdarg>
#include <filesystem>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "integration/tls/device_fixture.h"
#include "integration/tls/test_env.h"
#include "integration/tls/tls_test_client.h"
#include "log/log_target.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "transport/tcp_transport.h"

namespace {

using talvoranth::TCPTransport;
using testing::HasSubstr;
using testing::StartsWith;
using vexa::test::ChildProcess;
using Bytes = std::vector<unsigned char>;

const std::string kSerial = "564558410C1E";

// A Python ssl client: connects with an optional certificate, sends one
// frame (flag 0, the request given in hex) and prints "answer <hex>",
// "closed" or "refused <reason>".
const char kPythonClient[] = R"(import socket, ssl, sys
port, ca, cert, key, request = sys.argv[1:6]
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
ctx.load_verify_locations(ca)
if cert != '-':
    ctx.load_cert_chain(cert, key)
try:
    with socket.create_connection(('127.0.0.1', int(port)), timeout=30) as raw:
        with ctx.wrap_socket(raw, server_hostname='localhost') as tls:
            payload = bytes.fromhex(request)
            tls.sendall(len(payload).to_bytes(4, 'little') + b'\x00' + payload)
            data = tls.recv(4096)
            print('answer ' + data.hex() if data else 'closed', flush=True)
except (ssl.SSLError, OSError) as e:
    print('refused ' + type(e).__name__ + ' ' + str(e), flush=True)
)";

// A Python ssl server for the module's side: listens on 127.0.0.1:port,
// takes `count` connections with the protocol and suites of `mode`, prints
// "ready", then per connection "handshake reused=True|False" or
// "failed <reason>".
const char kPythonServer[] = R"(import socket, ssl, sys
port, cert, key, mode, count = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(cert, key)
if mode in ('tls1', 'tls1_1'):
    ctx.set_ciphers('DEFAULT:@SECLEVEL=0')
    version = ssl.TLSVersion.TLSv1 if mode == 'tls1' else ssl.TLSVersion.TLSv1_1
    ctx.minimum_version = version
    ctx.maximum_version = version
elif mode == 'static-rsa':
    ctx.maximum_version = ssl.TLSVersion.TLSv1_2
    ctx.set_ciphers('AES128-GCM-SHA256:AES256-SHA256')
else:
    ctx.maximum_version = ssl.TLSVersion.TLSv1_2
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(('127.0.0.1', int(port)))
server.listen(4)
print('ready', flush=True)
for _ in range(count):
    conn, _ = server.accept()
    try:
        tls = ctx.wrap_socket(conn, server_side=True)
        print('handshake reused=%s' % tls.session_reused, flush=True)
        tls.recv(1)
        tls.close()
    except (ssl.SSLError, OSError) as e:
        print('failed %s' % e, flush=True)
)";

std::string Hex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 15]);
    }
    return text;
}

Bytes FromHex(const std::string& text) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

class TlsPolicyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(pki_.clientCert.empty());
        vexa::test::WriteFile(work_.file("client.py"), kPythonClient);
        vexa::test::WriteFile(work_.file("server.py"), kPythonServer);
        sim_ = std::make_unique<vexa::test::SimDevice>(work_.file("sim.sock"), kSerial);
        ASSERT_TRUE(sim_->ready());
        port_ = vexa::test::FreeLoopbackPort();
    }

    // The daemon; extra arguments such as "-clientca". Ready once a TCP
    // connection is taken (its handshake may fail).
    void startDaemon(const std::vector<std::string>& extra, const std::string& cert = "",
                     const std::string& key = "") {
        daemon_ = vexa::test::StartDaemon(kSerial, port_, sim_->socketPath(), pki_.caCert,
                                          cert.empty() ? pki_.serverCert : cert,
                                          key.empty() ? pki_.serverKey : key, work_.path(), extra);
        vexa::test::TlsTestClient probe;
        if (probe.connect(port_, pki_.caCert) == 0) {
            probe.closeNotify();
        }
    }

    // The Python client's one line.
    std::string pythonClient(const std::string& cert, const std::string& key) {
        ChildProcess client("/usr/bin/python3",
                            {work_.file("client.py"), std::to_string(port_), pki_.caCert, cert, key,
                             Hex(vexa::test::TokenInfoRequest())});
        client.waitExit(std::chrono::seconds(60));
        return client.out();
    }

    // openssl s_client with options; true when the handshake completed.
    bool opensslConnects(const std::vector<std::string>& options) {
        std::vector<std::string> args = {"s_client", "-brief",
                                         "-connect", "127.0.0.1:" + std::to_string(port_),
                                         "-CAfile",  pki_.caCert};
        args.insert(args.end(), options.begin(), options.end());
        ChildProcess client("/usr/bin/openssl", args);
        client.waitExit(std::chrono::seconds(60));
        return client.err().find("CONNECTION ESTABLISHED") != std::string::npos;
    }

    // The Python server for `count` connections, ready to accept.
    std::unique_ptr<ChildProcess> pythonServer(const std::string& mode, int count,
                                               const std::string& cert, const std::string& key) {
        auto server = std::make_unique<ChildProcess>(
            "/usr/bin/python3",
            std::vector<std::string>{work_.file("server.py"), std::to_string(port_), cert, key,
                                     mode, std::to_string(count)});
        EXPECT_TRUE(server->waitForStdout("ready\n"));
        return server;
    }

    std::unique_ptr<TCPTransport> transport(const std::string& host = "localhost") {
        return std::make_unique<TCPTransport>(host, port_, pki_.caCert, &log_);
    }

    // True when one C_GetTokenInfo exchange answers with the device's serial.
    static bool tokenInfoWorks(TCPTransport& t) {
        const Bytes request = vexa::test::TokenInfoRequest();
        if (t.write(request.data(), static_cast<int>(request.size())) <= 0) {
            return false;
        }
        Bytes answer(2048);
        const int n = t.read(answer.data(), static_cast<int>(answer.size()));
        answer.resize(n > 0 ? static_cast<size_t>(n) : 0);
        unsigned rv = 1;
        std::string serial;
        return vexa::test::DecodeTokenInfo(answer, &rv, &serial) && rv == 0 && serial == kSerial;
    }

    const vexa::test::TestPki& pki_ = vexa::test::SuitePki();
    vexa::test::TempDir work_;
    std::unique_ptr<vexa::test::SimDevice> sim_;
    std::unique_ptr<ChildProcess> daemon_;
    int port_ = 0;
    vexa::test::CLogCapture log_;
};

TEST_F(TlsPolicyTest, WithAClientCaOnlyClientsWithItsCertificatesReachTheDevice) {
    startDaemon({"-clientca", pki_.clientCaCert});
    EXPECT_TRUE(daemon_->waitForStdout("Clients must present a certificate issued by " +
                                       pki_.clientCaCert + ".\r\n"));
    struct Case {
        const char* name;
        std::string cert, key;
        bool served;
    };
    const std::vector<Case> cases = {
        {"certificate from the client CA", pki_.clientCert, pki_.clientKey, true},
        {"no certificate", "-", "-", false},
        {"certificate from another CA", pki_.otherClientCert, pki_.otherClientKey, false},
        {"expired certificate", pki_.expiredClientCert, pki_.clientKey, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string line = pythonClient(c.cert, c.key);
        if (c.served) {
            ASSERT_THAT(line, StartsWith("answer "));
            unsigned rv = 1;
            std::string serial;
            EXPECT_TRUE(vexa::test::DecodeTokenInfo(FromHex(line.substr(7, line.size() - 8)), &rv,
                                                    &serial));
            EXPECT_EQ(serial, kSerial);
        } else {
            EXPECT_THAT(line, testing::AnyOf(StartsWith("refused "), StartsWith("closed")));
        }
        EXPECT_EQ(opensslConnects(c.cert == "-"
                                      ? std::vector<std::string>{}
                                      : std::vector<std::string>{"-cert", c.cert, "-key", c.key}) &&
                      c.served,
                  c.served);
    }
    // Refused during the handshake: the device was never opened for them.
    EXPECT_THAT(daemon_->err(), testing::Not(HasSubstr("Could not open device")));
    EXPECT_THAT(daemon_->err(), HasSubstr("ssl handshake returned"));

    // The module with its certificate gets through; without it, it does not,
    // and the application's user is told on standard error.
    auto withCert = transport();
    withCert->setClientCertificate(pki_.clientCert, pki_.clientKey);
    withCert->open();
    EXPECT_TRUE(tokenInfoWorks(*withCert));
    withCert->close();

    auto without = transport();
    testing::internal::CaptureStderr();
    EXPECT_THROW(without->open(), talvoranth::IOException);
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr("vexa-pkcs11: TLS handshake with vexa-daemon localhost:" +
                          std::to_string(port_) + " failed: "));
}

TEST_F(TlsPolicyTest, WithoutAClientCaTheDaemonSaysThatAnyClientMayConnect) {
    startDaemon({});
    EXPECT_TRUE(
        daemon_->waitForStdout("No client CA is set (\"clientca\"): any client that "
                               "reaches the port may use the device.\r\n"));
    EXPECT_THAT(pythonClient("-", "-"), StartsWith("answer "));
}

// Old protocol versions and suites without forward secrecy or without AEAD
// are refused; TLS 1.2 with ECDHE and GCM or ChaCha20-Poly1305 is taken.
TEST_F(TlsPolicyTest, TheDaemonTakesTls12WithForwardSecretAeadSuitesOnly) {
    startDaemon({}, pki_.rsaServerCert, pki_.rsaServerKey);
    struct Case {
        std::vector<std::string> options;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {{"-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"}, false},
        {{"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"}, false},
        {{"-tls1_2", "-cipher", "AES128-GCM-SHA256"}, false},        // static RSA
        {{"-tls1_2", "-cipher", "AES256-SHA256"}, false},            // static RSA, CBC
        {{"-tls1_2", "-cipher", "ECDHE-RSA-AES128-SHA256"}, false},  // CBC
        {{"-tls1_2", "-cipher", "ECDHE-RSA-AES128-GCM-SHA256"}, true},
        {{"-tls1_2", "-cipher", "ECDHE-RSA-CHACHA20-POLY1305"}, true},
        {{}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        EXPECT_EQ(opensslConnects(c.options), c.accepted);
    }
}

// The module's side of the same rules, against a Python ssl server.
TEST_F(TlsPolicyTest, TheModuleRefusesOldProtocolsAndSuitesWithoutForwardSecrecy) {
    for (const char* mode : {"tls1", "tls1_1", "static-rsa"}) {
        SCOPED_TRACE(mode);
        port_ = vexa::test::FreeLoopbackPort();
        auto server = pythonServer(mode, 1, pki_.rsaServerCert, pki_.rsaServerKey);
        auto t = transport();
        testing::internal::CaptureStderr();
        EXPECT_THROW(t->open(), talvoranth::IOException);
        EXPECT_THAT(testing::internal::GetCapturedStderr(),
                    HasSubstr("vexa-pkcs11: TLS handshake with vexa-daemon localhost:" +
                              std::to_string(port_) + " failed: "));
        EXPECT_TRUE(server->waitForStdout("failed "));
    }
    // The same server with a modern configuration is taken.
    port_ = vexa::test::FreeLoopbackPort();
    auto server = pythonServer("tls1_2", 1, pki_.rsaServerCert, pki_.rsaServerKey);
    auto t = transport();
    t->open();
    t->close();
    EXPECT_TRUE(server->waitForStdout("handshake reused=False\n"));
}

// An address names the daemon as well as a host name does, when the
// certificate lists it; a certificate without it is refused, and the user is
// told why.
TEST_F(TlsPolicyTest, TheDaemonIsVerifiedByHostNameOrIpAddress) {
    startDaemon({}, pki_.serverCertWithIp, pki_.serverKey);
    for (const char* host : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        auto t = transport(host);
        t->open();
        EXPECT_TRUE(tokenInfoWorks(*t));
    }
    daemon_.reset();
    startDaemon({});
    auto t = transport("127.0.0.1");
    testing::internal::CaptureStderr();
    EXPECT_THROW(t->open(), talvoranth::IOException);
    EXPECT_THAT(
        testing::internal::GetCapturedStderr(),
        HasSubstr("vexa-pkcs11: the certificate of vexa-daemon 127.0.0.1:" + std::to_string(port_) +
                  " is not accepted: the certificate does not list the IP address "
                  "127.0.0.1 among its subject alternative names"));
}

// A reconnection offers the last session; a server that knows it resumes.
// The session is kept for the user's next process too (another transport
// object here), in a file only the user can read.
TEST_F(TlsPolicyTest, TheModuleResumesItsSessionWhenItReconnects) {
    const std::string runtime = work_.file("run");
    ASSERT_EQ(0, ::mkdir(runtime.c_str(), 0700));
    ASSERT_EQ(0, ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1));
    auto server = pythonServer("tls1_2", 3, pki_.serverCert, pki_.serverKey);
    auto t = transport();
    t->open();
    t->close();
    t->open();
    t->close();
    auto nextProcess = transport();
    nextProcess->open();
    nextProcess->close();
    EXPECT_TRUE(server->waitForStdout(
        "handshake reused=False\nhandshake reused=True\nhandshake reused=True\n"))
        << server->out();
    const std::string dir = runtime + "/vexa-pkcs11";
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        files.push_back(entry.path());
        EXPECT_EQ(std::filesystem::status(entry.path()).permissions(),
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    }
    EXPECT_EQ(files.size(), 1u);
    ::unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
