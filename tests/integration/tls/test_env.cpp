#include "integration/tls/test_env.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace vexa::test {

TempDir::TempDir() {
    char pattern[] = "/tmp/vexa-tls-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

int FreeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    ::close(fd);
    return port;
}

std::string BinDir() {
    const char* dir = std::getenv("VEXA_BIN_DIR");
    return dir != nullptr ? dir : "";
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

namespace {

bool Run(const std::string& command) {
    std::string line = command + " >/dev/null 2>&1";
    int status = std::system(line.c_str());
    EXPECT_EQ(status, 0) << "failed: " << command;
    return status == 0;
}

// A CA: self-signed, P-256.
bool MakeCa(const std::string& dir, const std::string& name, const std::string& subject) {
    return Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout '" +
               dir + "/" + name + ".key' -out '" + dir + "/" + name + ".pem' -days 2 -sha256" +
               " -subj '/CN=" + subject + "'" + " -addext basicConstraints=critical,CA:TRUE" +
               " -addext keyUsage=critical,keyCertSign,cRLSign");
}

// A localhost certificate for an existing key, signed by a CA.
bool SignServer(const std::string& dir, const std::string& ca, const std::string& key,
                const std::string& out, const std::string& digest) {
    const std::string ext = dir + "/server.ext";
    WriteFile(ext, "subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\n");
    const std::string csr = dir + "/" + out + ".csr";
    return Run("openssl req -new -key '" + dir + "/" + key + "' -subj /CN=localhost -out '" + csr +
               "'") &&
           Run("openssl x509 -req -in '" + csr + "' -CA '" + dir + "/" + ca + ".pem' -CAkey '" +
               dir + "/" + ca + ".key' -CAcreateserial -days 2 -" + digest + " -extfile '" + ext +
               "' -out '" + dir + "/" + out + "'");
}

bool MakeKey(const std::string& dir, const std::string& name) {
    return Run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out '" + dir + "/" +
               name + "'");
}

}  // namespace

TestPki GeneratePki(const std::string& dir) {
    TestPki pki;
    pki.keyPassword = "test-pass-4711";
    bool ok =
        MakeCa(dir, "ca", "Vexa Test CA") && MakeCa(dir, "otherca", "Other Test CA") &&
        MakeKey(dir, "server.key") && MakeKey(dir, "otherserver.key") &&
        SignServer(dir, "ca", "server.key", "server.pem", "sha256") &&
        SignServer(dir, "ca", "server.key", "server-sha1.pem", "sha1") &&
        SignServer(dir, "otherca", "otherserver.key", "otherserver.pem", "sha256") &&
        // The encrypted key in the traditional PEM form (DEK-Info).
        Run("openssl ec -in '" + dir + "/server.key' -aes256 -passout pass:" + pki.keyPassword +
            " -out '" + dir + "/server-enc.key'") &&
        Run("openssl x509 -in '" + dir + "/ca.pem' -outform DER -out '" + dir + "/ca.der'");
    if (!ok) {
        return TestPki{};
    }
    pki.caCert = dir + "/ca.pem";
    pki.caCertDer = dir + "/ca.der";
    pki.serverCert = dir + "/server.pem";
    pki.serverKey = dir + "/server.key";
    pki.serverKeyEncrypted = dir + "/server-enc.key";
    pki.serverCertSha1 = dir + "/server-sha1.pem";
    pki.otherCaCert = dir + "/otherca.pem";
    pki.otherServerCert = dir + "/otherserver.pem";
    pki.otherServerKey = dir + "/otherserver.key";
    return pki;
}

}  // namespace vexa::test
