// TLS 1.3 handshakes whose RSA signature the device makes: TLS 1.3 allows
// RSA keys to sign with RSA-PSS only, which a client reaches through
// CKM_RSA_PKCS_PSS over the handshake's hash. A client certificate key on
// the device (gnutls-cli against gnutls-serv, which demands and checks the
// certificate) and a server key on the device (OpenSSL's s_server through
// the pkcs11 engine, with gnutls-cli checking the server).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "e2e/support/token_stack.h"

namespace vexa::e2e {
namespace {

// A TCP port on loopback that nothing listens on now.
int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

// Waits until something accepts connections on the loopback port.
bool Accepting(int port) {
    for (int attempt = 0; attempt < 300; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        const bool connected =
            fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (fd >= 0) {
            close(fd);
        }
        if (connected) {
            return true;
        }
        usleep(100 * 1000);
    }
    return false;
}

constexpr const char* kTls13Only = "NORMAL:-VERS-ALL:+VERS-TLS1.3";

class GnutlsTls13 : public ::testing::TestWithParam<Link> {
protected:
    void SetUp() override {
        if (!test::kToolCanLoadModule) {
            GTEST_SKIP() << "the TLS programs cannot load a module built with a sanitizer";
        }
        stack_ = std::make_unique<CTokenStack>(GetParam());
        ASSERT_TRUE(stack_->ready()) << stack_->problem();
        const RunResult made =
            stack_->pkcs11Tool({"--login", "--pin", kUserPin, "--keypairgen", "--key-type",
                                "rsa:2048", "--id", "07", "--label", "tls"});
        ASSERT_EQ(made.status, 0) << made.all();
        port_ = FreePort();
        ASSERT_NE(port_, 0);
    }

    std::string KeyUri(const std::string& type) const {
        return "pkcs11:serial=" + stack_->serial(0) + ";object=tls;type=" + type;
    }
    // The environment of a program that reaches the token as the stack's
    // clients do.
    std::map<std::string, std::string> ClientEnv() const {
        return {{"HOME", stack_->dir()},
                {"VEXA_VIRTUAL_DEVICE", GetParam() == Link::Hid ? stack_->simSocket() : ""},
                {"GNUTLS_PIN", kUserPin}};
    }
    RunResult Shell(const std::string& command) const {
        return stack_->run("/bin/sh", {"-c", command}, {{"GNUTLS_PIN", kUserPin}});
    }

    std::unique_ptr<CTokenStack> stack_;
    int port_ = 0;
};

TEST_P(GnutlsTls13, ClientAuthenticatesWithTheDevicesRsaKey) {
    const std::string module = stack_->modulePath();
    // A self-signed client certificate, signed by the device.
    test::WriteFile(stack_->file("client.tmpl"),
                    "cn = device client\ntls_www_client\nsigning_key\nexpiration_days = 2\n");
    RunResult step =
        Shell("certtool --provider " + module + " --generate-self-signed --load-privkey '" +
              KeyUri("private") + "' --load-pubkey '" + KeyUri("public") +
              "' --template client.tmpl --outfile client.pem");
    ASSERT_EQ(step.status, 0) << step.all() << stack_->moduleLog();
    // A software server that demands a client certificate and checks it.
    step = Shell(
        "certtool --generate-privkey --key-type rsa --bits 2048 --outfile server.key && "
        "printf 'cn = localhost\\ndns_name = localhost\\ntls_www_server\\n"
        "encryption_key\\nsigning_key\\nexpiration_days = 2\\n' > server.tmpl && "
        "certtool --generate-self-signed --load-privkey server.key "
        "--template server.tmpl --outfile server.pem");
    ASSERT_EQ(step.status, 0) << step.all();
    test::ChildProcess server(
        "/usr/bin/gnutls-serv",
        {"--echo", "-p", std::to_string(port_), "--require-client-cert", "--x509cafile",
         stack_->file("client.pem"), "--x509certfile", stack_->file("server.pem"), "--x509keyfile",
         stack_->file("server.key"), "--priority", kTls13Only},
        {}, stack_->dir());
    ASSERT_TRUE(Accepting(port_)) << server.out() << server.err();

    const RunResult client =
        Shell("printf 'over TLS 1.3\\n' | gnutls-cli --provider " + module + " --priority " +
              kTls13Only + " --x509cafile server.pem --x509certfile client.pem --x509keyfile '" +
              KeyUri("private") + "' -p " + std::to_string(port_) + " localhost");
    EXPECT_EQ(client.status, 0) << client.all() << "\nserver:\n"
                                << server.out() << server.err() << stack_->moduleLog();
    EXPECT_NE(client.all().find("Handshake was completed"), std::string::npos) << client.all();
    EXPECT_NE(client.all().find("(TLS1.3"), std::string::npos) << client.all();
    EXPECT_NE(client.all().find("over TLS 1.3"), std::string::npos) << client.all();
}

TEST_P(GnutlsTls13, ServerSignsWithTheDevicesRsaKey) {
    test::WriteFile(stack_->file("engine.cnf"),
                    "openssl_conf = openssl_init\n[openssl_init]\nengines = engine_section\n"
                    "[engine_section]\npkcs11 = pkcs11_section\n[pkcs11_section]\n"
                    "engine_id = pkcs11\nMODULE_PATH = " +
                        stack_->modulePath() + "\ninit = 0\n");
    const std::string key = KeyUri("private") + ";pin-value=" + kUserPin;
    std::map<std::string, std::string> env = ClientEnv();
    env["OPENSSL_CONF"] = stack_->file("engine.cnf");
    // The server's certificate, self-signed with the device's key.
    RunResult step =
        stack_->run("/usr/bin/openssl",
                    {"req", "-new", "-x509", "-engine", "pkcs11", "-keyform", "engine", "-key", key,
                     "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost", "-days",
                     "2", "-out", "server.pem"},
                    {{"OPENSSL_CONF", stack_->file("engine.cnf")}});
    ASSERT_EQ(step.status, 0) << step.all() << stack_->moduleLog();
    // s_server ends when its input does: it reads a FIFO it holds open.
    test::ChildProcess server(
        "/bin/sh",
        {"-c",
         "mkfifo hold && exec openssl s_server -engine pkcs11 -keyform engine "
         "-key \"$0\" -cert server.pem -tls1_3 -www -accept " +
             std::to_string(port_) + " <>hold",
         key},
        env, stack_->dir());
    ASSERT_TRUE(Accepting(port_)) << server.out() << server.err();

    const RunResult client = Shell("printf 'served by the device\\n' | gnutls-cli --priority " +
                                   std::string(kTls13Only) + " --x509cafile server.pem -p " +
                                   std::to_string(port_) + " localhost");
    EXPECT_EQ(client.status, 0) << client.all() << "\nserver:\n"
                                << server.out() << server.err() << stack_->moduleLog();
    EXPECT_NE(client.all().find("Handshake was completed"), std::string::npos) << client.all();
    EXPECT_NE(client.all().find("(TLS1.3"), std::string::npos) << client.all();
    EXPECT_NE(client.all().find("RSA-PSS"), std::string::npos) << client.all();
}

INSTANTIATE_TEST_SUITE_P(Links, GnutlsTls13, ::testing::Values(Link::Hid, Link::Daemon),
                         [](const auto& info) { return LinkName(info.param); });

}  // namespace
}  // namespace vexa::e2e
