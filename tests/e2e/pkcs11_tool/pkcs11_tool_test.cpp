// OpenSC's pkcs11-tool drives the built module as any application would:
// its own self-tests, threads and a fork, and the object and key commands,
// with results checked by openssl.
#include <gtest/gtest.h>

#include <cstring>

#include "e2e/support/token_stack.h"

namespace vexa::e2e {
namespace {

class Pkcs11Tool : public ::testing::TestWithParam<Link> {
protected:
    void SetUp() override {
        if (!test::kToolCanLoadModule) {
            GTEST_SKIP() << "pkcs11-tool cannot load a module built with a sanitizer";
        }
        stack_ = std::make_unique<CTokenStack>(GetParam());
        ASSERT_TRUE(stack_->ready()) << stack_->problem();
    }

    // pkcs11-tool with these arguments must succeed; its output.
    std::string Tool(const std::vector<std::string>& args) {
        const RunResult result = stack_->pkcs11Tool(args);
        EXPECT_EQ(result.status, 0) << result.all() << "\nmodule log:\n" << stack_->moduleLog();
        return result.all();
    }

    std::unique_ptr<CTokenStack> stack_;
};

TEST_P(Pkcs11Tool, ListsEverySlotWithItsToken) {
    const std::string out = Tool({"--list-slots"});
    EXPECT_EQ(CountOf(out, "token label        : Vexa Token"), stack_->slotCount()) << out;
    EXPECT_EQ(CountOf(out, "token manufacturer : Talvoranth"), stack_->slotCount()) << out;
    for (size_t slot = 0; slot < stack_->slotCount(); ++slot) {
        EXPECT_NE(out.find("serial num         : " + stack_->serial(slot)), std::string::npos)
            << out;
    }
}

TEST_P(Pkcs11Tool, ListsTheMechanismsClientsUse) {
    const std::string out = Tool({"--list-mechanisms"});
    for (const char* mechanism : {"RSA-PKCS-KEY-PAIR-GEN", "RSA-PKCS,", "SHA256-RSA-PKCS,",
                                  "ECDSA,", "ECDSA-KEY-PAIR-GEN", "AES-CBC,", "SHA256,"}) {
        EXPECT_NE(out.find(mechanism), std::string::npos) << mechanism << "\n" << out;
    }
}

TEST_P(Pkcs11Tool, ChildOfAForkInitialisesItsOwnModule) {
    const std::string out = Tool({"--test-fork"});
    EXPECT_NE(out.find("C_Initialize in forked child process"), std::string::npos) << out;
}

TEST_P(Pkcs11Tool, ThreadsShareTheModuleWithOperatingSystemLocking) {
    // Each thread initialises (all but one find it done), asks for the
    // module's information, the slots and the token of every slot, while
    // the main thread draws random bytes. (When threads are still running
    // as the main thread ends, pkcs11-tool waits 30 s for them.)
    const std::string random = stack_->file("random.bin");
    std::vector<std::string> args = {"--use-locking", "--generate-random", "200000",
                                     "--output-file", random};
    const std::string tokens = stack_->slotCount() == 2 ? "T0T1" : "T0";
    for (int thread = 0; thread < 4; ++thread) {
        args.insert(args.end(), {"--test-threads", "ILGISL" + tokens + "GISL" + tokens});
    }
    const std::string out = Tool(args);
    EXPECT_NE(out.find("all threads have ended with CKR_OK"), std::string::npos) << out;
    EXPECT_EQ(out.find("failed"), std::string::npos) << out;
    EXPECT_EQ(CountOf(out, "C_GetTokenInfo from slot_index"), 4 * 2 * stack_->slotCount()) << out;
    EXPECT_EQ(ReadFile(random).size(), 200000u);
}

TEST_P(Pkcs11Tool, LogsInAndDrawsRandomBytes) {
    const std::string random = stack_->file("random.bin");
    Tool({"--login", "--pin", kUserPin, "--generate-random", "64", "--output-file", random});
    EXPECT_EQ(ReadFile(random).size(), 64u);
}

TEST_P(Pkcs11Tool, WrongPinIsRefused) {
    const RunResult result = stack_->pkcs11Tool({"--login", "--pin", "999999", "--list-objects"});
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.all().find("CKR_PIN_INCORRECT"), std::string::npos) << result.all();
}

// pkcs11-tool's own test run: random numbers, digests, and with an RSA key
// on the token, signatures, verification and decryption in every RSA
// mechanism it knows.
TEST_P(Pkcs11Tool, SelfTestPassesWithAnRsaKey) {
    Tool({"--login", "--pin", kUserPin, "--keypairgen", "--key-type", "rsa:2048", "--id", "01",
          "--label", "self-test"});
    const std::string out = Tool({"--test", "--login", "--pin", kUserPin});
    EXPECT_NE(out.find("No errors"), std::string::npos) << out;
    EXPECT_NE(out.find("all 4 signature functions seem to work"), std::string::npos) << out;
    // Signature, verification and decryption each test raw RSA-PKCS.
    EXPECT_EQ(CountOf(out, "    RSA-PKCS: OK"), 3u) << out;
    EXPECT_EQ(out.find("ERR"), std::string::npos) << out;
}

// RSA-PSS with parameters, raw over a hash (as TLS 1.3 signs) and hashing
// on the device; OpenSSL verifies both.
TEST_P(Pkcs11Tool, SignsWithPssParametersOpensslVerifies) {
    Tool({"--login", "--pin", kUserPin, "--keypairgen", "--key-type", "rsa:2048", "--id", "05",
          "--label", "pss"});
    Tool({"--read-object", "--type", "pubkey", "--id", "05", "--output-file",
          stack_->file("pss.der")});
    test::WriteFile(stack_->file("doc.txt"), "signed with RSA-PSS\n");
    const RunResult hashed = stack_->shell("openssl dgst -sha256 -binary doc.txt > doc.sha256");
    ASSERT_EQ(hashed.status, 0) << hashed.all();
    for (const auto& [mechanism, input] :
         {std::pair{"RSA-PKCS-PSS", "doc.sha256"}, std::pair{"SHA256-RSA-PKCS-PSS", "doc.txt"}}) {
        SCOPED_TRACE(mechanism);
        std::vector<std::string> args = {"--login",       "--pin",
                                         kUserPin,        "--sign",
                                         "--id",          "05",
                                         "--mechanism",   mechanism,
                                         "--mgf",         "MGF1-SHA256",
                                         "--salt-len",    "32",
                                         "--input-file",  stack_->file(input),
                                         "--output-file", stack_->file("doc.sig")};
        if (std::string(mechanism) == "RSA-PKCS-PSS") {
            args.insert(args.end(), {"--hash-algorithm", "SHA256"});
        }
        Tool(args);
        const RunResult verified = stack_->shell(
            "openssl dgst -sha256 -keyform DER -verify pss.der -sigopt rsa_padding_mode:pss "
            "-sigopt rsa_pss_saltlen:32 -signature doc.sig doc.txt");
        EXPECT_NE(verified.out.find("Verified OK"), std::string::npos) << verified.all();
    }
}

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// The DER SubjectPublicKeyInfo of a P-256 key from its CKA_EC_POINT as
// pkcs11-tool lists it (hex of the DER OCTET STRING around the point).
std::string P256PublicKeyFromListedPoint(const std::string& listing) {
    // (No std::regex: it trips a false warning in sanitizer builds.)
    const size_t label = listing.find("EC_POINT:");
    const size_t start = label == std::string::npos
                             ? std::string::npos
                             : listing.find_first_not_of(' ', label + std::strlen("EC_POINT:"));
    if (start == std::string::npos || listing.compare(start, 6, "044104") != 0) {
        return "";
    }
    const std::string point = listing.substr(start + 4, 130);
    if (point.size() != 130 || point.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return "";
    }
    return FromHex("3059301306072a8648ce3d020106082a8648ce3d030107034200" + point);
}

// How a signature made on the device is checked with openssl.
struct SignCase {
    const char* name;
    const char* key;            // "rsa" or "ec"
    const char* mechanism;      // pkcs11-tool's name
    bool signHash;              // the input is the SHA-256 hash (raw mechanisms)
    const char* rsaDigestInfo;  // raw RSA-PKCS: DigestInfo prefix of the hash
    const char* verifyOptions;  // extra openssl dgst options
};

const SignCase kSignCases[] = {
    {"RsaPkcsSha256", "rsa", "SHA256-RSA-PKCS", false, "", ""},
    // Raw PKCS #1 v1.5 over a DigestInfo, as TLS and SSH clients call it.
    {"RsaPkcsRaw", "rsa", "RSA-PKCS", true, "3031300d060960864801650304020105000420", ""},
    {"RsaPssSha256", "rsa", "SHA256-RSA-PKCS-PSS", false, "",
     "-sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32"},
    // Raw ECDSA over a hash, as most clients call it.
    {"EcdsaRaw", "ec", "ECDSA", true, "", ""},
    {"EcdsaSha256", "ec", "ECDSA-SHA256", false, "", ""},
};

// Keys generated on the device sign in every mechanism clients use; openssl
// verifies each signature with the public key read from the token and
// rejects it for other data.
TEST_P(Pkcs11Tool, GeneratedKeysSignAndOpensslVerifies) {
    Tool({"--login", "--pin", kUserPin, "--keypairgen", "--key-type", "rsa:2048", "--id", "01",
          "--label", "rsa"});
    const std::string ecOut = Tool({"--login", "--pin", kUserPin, "--keypairgen", "--key-type",
                                    "EC:prime256v1", "--id", "02", "--label", "ec"});
    Tool({"--read-object", "--type", "pubkey", "--id", "01", "--output-file",
          stack_->file("rsa.der")});
    // (pkcs11-tool's own export of EC public keys depends on freed memory,
    // so the key is built from the listed point.)
    const std::string ecKey = P256PublicKeyFromListedPoint(ecOut);
    ASSERT_FALSE(ecKey.empty()) << ecOut;
    test::WriteFile(stack_->file("ec.der"), ecKey);
    test::WriteFile(stack_->file("data.txt"), "signed on a Vexa token\n");
    test::WriteFile(stack_->file("other.txt"), "not what was signed\n");
    ASSERT_EQ(stack_->shell("openssl dgst -sha256 -binary data.txt > data.sha256").status, 0);

    for (const SignCase& c : kSignCases) {
        SCOPED_TRACE(c.name);
        std::string input = "data.txt";
        if (c.signHash) {
            input = std::string("input-") + c.name;
            test::WriteFile(stack_->file(input),
                            FromHex(c.rsaDigestInfo) + ReadFile(stack_->file("data.sha256")));
        }
        const std::string sig = std::string(c.name) + ".sig";
        Tool({"--login", "--pin", kUserPin, "--sign", "--id", c.key[0] == 'r' ? "01" : "02",
              "--mechanism", c.mechanism, "--signature-format", "openssl", "--input-file",
              stack_->file(input), "--output-file", stack_->file(sig)});
        const std::string verify = "openssl dgst -sha256 -keyform DER -verify " +
                                   std::string(c.key) + ".der " + c.verifyOptions + " -signature " +
                                   sig + " ";
        const RunResult good = stack_->shell(verify + "data.txt");
        EXPECT_EQ(good.status, 0) << good.all();
        EXPECT_NE(good.out.find("Verified OK"), std::string::npos) << good.all();
        EXPECT_NE(stack_->shell(verify + "other.txt").status, 0);
    }
}

// Data objects and certificates go onto the token, come back byte for byte
// and can be deleted; secret keys generated on the device encrypt and
// decrypt.
TEST_P(Pkcs11Tool, WritesReadsAndDeletesObjects) {
    const std::string note = "a note kept on the token\n";
    test::WriteFile(stack_->file("note.txt"), note);
    Tool({"--login", "--pin", kUserPin, "--write-object", stack_->file("note.txt"), "--type",
          "data", "--label", "note"});
    Tool({"--read-object", "--type", "data", "--label", "note", "--output-file",
          stack_->file("note.back")});
    EXPECT_EQ(ReadFile(stack_->file("note.back")), note);

    ASSERT_EQ(stack_
                  ->shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
                          "-nodes -subj /CN=e2e -keyout cert.key -outform DER -out cert.der "
                          "2>/dev/null")
                  .status,
              0);
    Tool({"--login", "--pin", kUserPin, "--write-object", stack_->file("cert.der"), "--type",
          "cert", "--id", "05", "--label", "cert"});
    Tool({"--read-object", "--type", "cert", "--id", "05", "--output-file",
          stack_->file("cert.back")});
    EXPECT_EQ(ReadFile(stack_->file("cert.back")), ReadFile(stack_->file("cert.der")));
    const std::string listed = Tool({"--list-objects", "--type", "cert"});
    EXPECT_NE(listed.find("Certificate Object"), std::string::npos) << listed;
    EXPECT_NE(listed.find("subject:    DN: CN=e2e"), std::string::npos) << listed;

    Tool({"--login", "--pin", kUserPin, "--delete-object", "--type", "data", "--label", "note"});
    const std::string after = Tool({"--login", "--pin", kUserPin, "--list-objects"});
    EXPECT_EQ(after.find("note"), std::string::npos) << after;
    EXPECT_NE(after.find("Certificate Object"), std::string::npos) << after;
}

TEST_P(Pkcs11Tool, SecretKeyEncryptsAndDecrypts) {
    Tool({"--login", "--pin", kUserPin, "--keygen", "--key-type", "AES:32", "--id", "10", "--label",
          "aes"});
    std::string plain;
    for (int i = 0; i < 1000; ++i) {
        plain.push_back(static_cast<char>(i * 7));
    }
    test::WriteFile(stack_->file("plain.bin"), plain);
    const std::vector<std::string> cbc = {
        "--login",     "--pin", kUserPin,
        "--id",        "10",    "--mechanism",
        "AES-CBC-PAD", "--iv",  "000102030405060708090a0b0c0d0e0f"};
    std::vector<std::string> encrypt = cbc;
    encrypt.insert(encrypt.end(), {"--encrypt", "--input-file", stack_->file("plain.bin"),
                                   "--output-file", stack_->file("cipher.bin")});
    Tool(encrypt);
    const std::string cipher = ReadFile(stack_->file("cipher.bin"));
    EXPECT_EQ(cipher.size(), 1008u);
    EXPECT_EQ(cipher.find(plain.substr(0, 16)), std::string::npos);
    std::vector<std::string> decrypt = cbc;
    decrypt.insert(decrypt.end(), {"--decrypt", "--input-file", stack_->file("cipher.bin"),
                                   "--output-file", stack_->file("back.bin")});
    Tool(decrypt);
    EXPECT_EQ(ReadFile(stack_->file("back.bin")), plain);
}

INSTANTIATE_TEST_SUITE_P(Links, Pkcs11Tool, ::testing::Values(Link::Hid, Link::Daemon),
                         [](const auto& info) { return LinkName(info.param); });

}  // namespace
}  // namespace vexa::e2e
