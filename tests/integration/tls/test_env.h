// Small pieces every TLS test needs: a free loopback port, the build's
// program directory, and a test PKI generated with the openssl command line.
#pragma once

#include <string>

namespace vexa::test {

// A TCP port on 127.0.0.1 that nobody listened on a moment ago.
int FreeLoopbackPort();

// Where the build puts programs (VEXA_BIN_DIR).
std::string BinDir();

// Certificates and keys for one test run, all PEM unless named otherwise,
// every key readable by its owner only. The server certificates name
// "localhost" only (not 127.0.0.1) unless said otherwise.
struct TestPki {
    std::string caCert;              // the trusted CA
    std::string caCertDer;           // the same CA in DER
    std::string serverCert;          // signed by the CA with SHA-256
    std::string serverKey;           // its key, unencrypted
    std::string serverKeyEncrypted;  // the same key, encrypted with keyPassword
    std::string keyPassword;
    std::string serverCertSha1;   // same key, signed by the CA with SHA-1
    std::string otherCaCert;      // a CA nobody trusts
    std::string otherServerCert;  // for localhost, signed by the other CA
    std::string otherServerKey;
    std::string serverCertWithIp;  // server key, names localhost and IP 127.0.0.1
    std::string serverKeyPkcs8;    // server key in OpenSSL 3's default encrypted form
    std::string rsaServerCert;     // an RSA 2048 key's certificate from the CA
    std::string rsaServerKey;
    std::string clientCaCert;  // the CA a daemon trusts for client certificates
    std::string clientCert;    // signed by it
    std::string clientKey;
    std::string otherClientCert;  // signed by the other CA
    std::string otherClientKey;
    std::string expiredClientCert;  // signed by the client CA, expired in 2020 (clientKey)
};

// Generates a TestPki into dir; fails the calling test (and returns an
// empty PKI) when openssl does not succeed.
TestPki GeneratePki(const std::string& dir);

// The TestPki of this test executable, generated on first use (openssl
// takes a while) in a directory removed when the process ends. Empty when
// openssl failed; the test that asked first has failed then.
const TestPki& SuitePki();

// Writes text to a file, replacing it.
void WriteFile(const std::string& path, const std::string& text);

}  // namespace vexa::test
