#include "integration/tls/test_env.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vexa::test {

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

// Runs a shell command; on failure the test fails with the command and what
// it wrote.
bool Run(const std::string& command) {
    const CommandResult result = RunShell(command);
    EXPECT_EQ(result.status, 0) << "failed: " << command << "\n" << result.all();
    return result.status == 0;
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

// A certificate for a client: signed by a CA, for TLS client use.
bool SignClient(const std::string& dir, const std::string& ca, const std::string& key,
                const std::string& out) {
    const std::string ext = dir + "/client.ext";
    WriteFile(ext, "basicConstraints=CA:FALSE\nextendedKeyUsage=clientAuth\n");
    const std::string csr = dir + "/" + out + ".csr";
    return Run("openssl req -new -key '" + dir + "/" + key + "' -subj /CN=vexa-client -out '" +
               csr + "'") &&
           Run("openssl x509 -req -in '" + csr + "' -CA '" + dir + "/" + ca + ".pem' -CAkey '" +
               dir + "/" + ca + ".key' -CAcreateserial -days 2 -sha256 -extfile '" + ext +
               "' -out '" + dir + "/" + out + "'");
}

// A client certificate whose validity ended in 2020 (the x509 command cannot
// set dates in the past; the ca command can).
bool SignExpiredClient(const std::string& dir) {
    const std::string db = dir + "/expired-db";
    WriteFile(dir + "/expired.cnf", "[ca]\ndefault_ca = test\n[test]\ndatabase = " + db +
                                        "/index.txt\n"
                                        "new_certs_dir = " +
                                        db + "\nserial = " + db +
                                        "/serial\ndefault_md = sha256\n"
                                        "policy = any\n[any]\ncommonName = supplied\n");
    return Run("mkdir -p '" + db + "' && : > '" + db + "/index.txt' && echo 01 > '" + db +
               "/serial'") &&
           Run("openssl ca -batch -notext -config '" + dir + "/expired.cnf' -cert '" + dir +
               "/clientca.pem' -keyfile '" + dir + "/clientca.key' -in '" + dir +
               "/client.pem.csr' -startdate 20200101000000Z -enddate 20200102000000Z -out '" + dir +
               "/client-expired.pem'");
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
        MakeCa(dir, "clientca", "Vexa Client CA") && MakeKey(dir, "client.key") &&
        MakeKey(dir, "otherclient.key") &&
        SignClient(dir, "clientca", "client.key", "client.pem") &&
        SignClient(dir, "otherca", "otherclient.key", "otherclient.pem") &&
        SignExpiredClient(dir) &&
        Run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out '" + dir +
            "/rsaserver.key'") &&
        SignServer(dir, "ca", "rsaserver.key", "rsaserver.pem", "sha256") &&
        // The same server key with its address in the certificate.
        (WriteFile(dir + "/server.ext",
                   "subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"),
         Run("openssl x509 -req -in '" + dir + "/server.pem.csr' -CA '" + dir +
             "/ca.pem' -CAkey '" + dir + "/ca.key' -CAcreateserial -days 2 -sha256 -extfile '" +
             dir + "/server.ext' -out '" + dir + "/server-ip.pem'")) &&
        // What "openssl pkey -aes256" writes by default: PKCS#8, PBES2 with
        // PBKDF2-HMAC-SHA-256 and AES-256-CBC.
        Run("openssl pkey -in '" + dir + "/server.key' -aes256 -passout pass:" + pki.keyPassword +
            " -out '" + dir + "/server-pkcs8.key'") &&
        // The encrypted key in the traditional PEM form (DEK-Info).
        Run("openssl ec -in '" + dir + "/server.key' -aes256 -passout pass:" + pki.keyPassword +
            " -out '" + dir + "/server-enc.key'") &&
        Run("openssl x509 -in '" + dir + "/ca.pem' -outform DER -out '" + dir + "/ca.der'");
    // Private keys as an operator keeps them: readable by the owner only.
    ok = ok && Run("chmod 600 '" + dir + "'/*.key");
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
    pki.serverCertWithIp = dir + "/server-ip.pem";
    pki.serverKeyPkcs8 = dir + "/server-pkcs8.key";
    pki.rsaServerCert = dir + "/rsaserver.pem";
    pki.rsaServerKey = dir + "/rsaserver.key";
    pki.clientCaCert = dir + "/clientca.pem";
    pki.clientCert = dir + "/client.pem";
    pki.clientKey = dir + "/client.key";
    pki.otherClientCert = dir + "/otherclient.pem";
    pki.otherClientKey = dir + "/otherclient.key";
    pki.expiredClientCert = dir + "/client-expired.pem";
    return pki;
}

const TestPki& SuitePki() {
    static const TempDir dir("vexa-pki");
    static const TestPki pki = GeneratePki(dir.path());
    return pki;
}

}  // namespace vexa::test
