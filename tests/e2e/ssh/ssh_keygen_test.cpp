// `ssh-keygen -D` lists the public keys of the tokens in OpenSSH's form, as
// users put them into authorized_keys: exactly the keys generated on the
// device, as OpenSSH itself converts them from the token's public key. And
// ssh-agent, given the module with `ssh-add -s`, signs with the device's keys
// (through its PKCS#11 helper, as for a login); ssh-keygen checks the
// signatures.
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

// Starts an agent that accepts the module, hands it the module (the PIN from
// an askpass program), then signs doc.txt with every key the agent lists
// and verifies each signature against doc.txt and against another text.
constexpr const char* kAgentScript = R"(set -e
ssh-agent -D -a agent.sock -P '*' >agent.log 2>&1 &
agent=$!
trap 'kill $agent' EXIT
export SSH_AUTH_SOCK="$PWD/agent.sock"
for i in $(seq 100); do [ -S agent.sock ] && break; sleep 0.05; done
SSH_ASKPASS="$PWD/askpass.sh" SSH_ASKPASS_REQUIRE=force ssh-add -s "$1" </dev/null
ssh-add -L >agent-keys.pub
n=0
while read -r key; do
  n=$((n + 1))
  echo "$key" >key$n.pub
  ssh-keygen -Y sign -f key$n.pub -n file doc.txt </dev/null
  echo "signer $key" >allowed$n
  ssh-keygen -Y verify -f allowed$n -I signer -n file -s doc.txt.sig <doc.txt
  if ssh-keygen -Y verify -f allowed$n -I signer -n file -s doc.txt.sig <other.txt; then
    echo "a signature verified over another text"
    exit 1
  fi
  rm doc.txt.sig
done <agent-keys.pub
echo "signed with $n keys"
)";

TEST_P(SshKeygen, AgentSignsWithTheDeviceKeys) {
    if (!test::kToolCanLoadModule) {
        GTEST_SKIP() << "ssh-agent cannot load a module built with a sanitizer";
    }
    CTokenStack stack(GetParam());
    ASSERT_TRUE(stack.ready()) << stack.problem();
    for (const auto& [type, id] : {std::pair{"rsa:2048", "01"}, std::pair{"EC:prime256v1", "02"}}) {
        const RunResult made = stack.pkcs11Tool(
            {"--login", "--pin", kUserPin, "--keypairgen", "--key-type", type, "--id", id});
        ASSERT_EQ(made.status, 0) << made.all();
    }
    test::WriteFile(stack.file("askpass.sh"), std::string("#!/bin/sh\necho ") + kUserPin + "\n");
    ASSERT_EQ(stack.shell("chmod 700 askpass.sh").status, 0);
    test::WriteFile(stack.file("doc.txt"), "signed by ssh-agent with a key on the device\n");
    test::WriteFile(stack.file("other.txt"), "not what was signed\n");
    test::WriteFile(stack.file("agent.sh"), kAgentScript);

    const RunResult result = stack.run("/bin/sh", {"agent.sh", stack.modulePath()});
    ASSERT_EQ(result.status, 0) << result.all() << "\nagent:\n"
                                << ReadFile(stack.file("agent.log")) << "\nmodule log:\n"
                                << stack.moduleLog();
    EXPECT_NE(result.out.find("signed with 2 keys"), std::string::npos) << result.all();
    EXPECT_NE(result.all().find("Good \"file\" signature for signer with RSA key"),
              std::string::npos)
        << result.all();
    EXPECT_NE(result.all().find("Good \"file\" signature for signer with ECDSA key"),
              std::string::npos)
        << result.all();
}

INSTANTIATE_TEST_SUITE_P(Links, SshKeygen, ::testing::Values(Link::Hid, Link::Daemon),
                         [](const auto& info) { return LinkName(info.param); });

}  // namespace
}  // namespace vexa::e2e
