// `ssh-keygen -D` lists the public keys of the tokens in OpenSSH's form, as
// users put them into authorized_keys: exactly the keys generated on the
// device, as OpenSSH itself converts them from the token's public key.
#include <gtest/gtest.h>

#include "e2e/support/token_stack.h"

namespace vexa::e2e {
namespace {

class SshKeygen : public ::testing::TestWithParam<Link> {};

// "type base64" of an OpenSSH public key line, without a comment.
std::string KeyOf(const std::string& line) {
    const size_t second = line.find(' ', line.find(' ') + 1);
    return line.substr(0, second);
}

TEST_P(SshKeygen, ListsTheDeviceKeysInOpensshForm) {
    if (!test::kToolCanLoadModule) {
        GTEST_SKIP() << "ssh-keygen cannot load a module built with a sanitizer";
    }
    CTokenStack stack(GetParam());
    ASSERT_TRUE(stack.ready()) << stack.problem();
    for (const auto& [type, id] : {std::pair{"rsa:2048", "01"}, std::pair{"EC:prime256v1", "02"}}) {
        const RunResult made = stack.pkcs11Tool(
            {"--login", "--pin", kUserPin, "--keypairgen", "--key-type", type, "--id", id});
        ASSERT_EQ(made.status, 0) << made.all();
    }
    // The RSA key as OpenSSH converts it from the public key on the token.
    const RunResult read = stack.pkcs11Tool({"--read-object", "--type", "pubkey", "--id", "01",
                                             "--output-file", stack.file("rsa.der")});
    ASSERT_EQ(read.status, 0) << read.all();
    const RunResult converted = stack.shell(
        "openssl pkey -pubin -inform DER -in rsa.der -out rsa.pem && "
        "ssh-keygen -i -m PKCS8 -f rsa.pem");
    ASSERT_EQ(converted.status, 0) << converted.all();

    const RunResult listed = stack.run("/usr/bin/ssh-keygen", {"-D", stack.modulePath()});
    ASSERT_EQ(listed.status, 0) << listed.all() << "\nmodule log:\n" << stack.moduleLog();
    EXPECT_NE(listed.out.find(KeyOf(converted.out)), std::string::npos)
        << listed.out << "\nexpected:\n"
        << converted.out;
    size_t rsa = 0;
    size_t ecdsa = 0;
    for (size_t at = 0; at < listed.out.size();) {
        const size_t end = listed.out.find('\n', at);
        const std::string line = listed.out.substr(at, end - at);
        rsa += line.rfind("ssh-rsa AAAA", 0) == 0;
        ecdsa += line.rfind("ecdsa-sha2-nistp256 AAAA", 0) == 0;
        at = end == std::string::npos ? listed.out.size() : end + 1;
    }
    EXPECT_EQ(rsa, 1u) << listed.out;
    EXPECT_EQ(ecdsa, 1u) << listed.out;
}

INSTANTIATE_TEST_SUITE_P(Links, SshKeygen, ::testing::Values(Link::Hid, Link::Daemon),
                         [](const auto& info) { return LinkName(info.param); });

}  // namespace
}  // namespace vexa::e2e
