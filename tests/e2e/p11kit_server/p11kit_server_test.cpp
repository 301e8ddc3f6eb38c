// A token of the module exported by `p11-kit server` and used through
// p11-kit-client.so: the forwarded token shows the same mechanisms as the
// module itself, makes keys on the device and signs, and plain OpenSSL
// verifies the signature with the public key read through the forwarding.
#include <gtest/gtest.h>

#include "e2e/support/token_stack.h"

namespace vexa::e2e {
namespace {

constexpr const char* kClient = VEXA_P11KIT_CLIENT;

// Starts the server for one token ($1 the module, $2 the token's serial
// number), waits for its socket, runs the commands of $3 with
// P11_KIT_SERVER_ADDRESS set, and stops the server on every way out.
constexpr const char* kForwarded = R"(set -e
p11-kit server --foreground --provider "$1" --name "$PWD/p11.sock" "pkcs11:serial=$2" \
  >server.log 2>&1 &
server=$!
trap 'kill $server' EXIT
for i in $(seq 200); do [ -S p11.sock ] && break; sleep 0.05; done
export P11_KIT_SERVER_ADDRESS="unix:path=$PWD/p11.sock"
sh -e -c "$3"
)";

class P11kitServer : public ::testing::TestWithParam<Link> {
protected:
    void SetUp() override {
        if (!test::kToolCanLoadModule) {
            GTEST_SKIP() << "p11-kit cannot load a module built with a sanitizer";
        }
        stack_ = std::make_unique<CTokenStack>(GetParam());
        ASSERT_TRUE(stack_->ready()) << stack_->problem();
        test::WriteFile(stack_->file("forwarded.sh"), kForwarded);
    }

    // Runs commands against the forwarded token; `$CLIENT` names the client
    // module and `$PIN` holds the user PIN.
    RunResult Forwarded(const std::string& commands) {
        return stack_->run("/bin/sh",
                           {"forwarded.sh", stack_->modulePath(), stack_->serial(0), commands},
                           {{"CLIENT", kClient}, {"PIN", kUserPin}});
    }

    std::unique_ptr<CTokenStack> stack_;
};

// The mechanism lines of pkcs11-tool --list-mechanisms.
std::string MechanismLines(const std::string& output) {
    std::string lines;
    for (size_t at = 0; at < output.size();) {
        const size_t end = output.find('\n', at);
        const std::string line = output.substr(at, end - at);
        if (line.rfind("  ", 0) == 0) {
            lines += line + "\n";
        }
        at = end == std::string::npos ? output.size() : end + 1;
    }
    return lines;
}

TEST_P(P11kitServer, ForwardsTheTokenWithItsMechanisms) {
    const RunResult direct = stack_->pkcs11Tool({"--list-mechanisms", "--slot-index", "0"});
    ASSERT_EQ(direct.status, 0) << direct.all();
    const RunResult forwarded = Forwarded(
        "pkcs11-tool --module $CLIENT --list-token-slots >slots.txt; "
        "pkcs11-tool --module $CLIENT --list-mechanisms >mechanisms.txt");
    ASSERT_EQ(forwarded.status, 0) << forwarded.all() << "\nserver:\n"
                                   << ReadFile(stack_->file("server.log")) << "\nmodule log:\n"
                                   << stack_->moduleLog();
    const std::string slots = ReadFile(stack_->file("slots.txt"));
    EXPECT_NE(slots.find("serial num         : " + stack_->serial(0)), std::string::npos)
        << slots << forwarded.all();
    // p11-kit leaves out mechanisms it cannot carry; each one it shows is
    // shown as the module describes it.
    const std::string directLines = MechanismLines(direct.out);
    const std::string forwardedLines = MechanismLines(ReadFile(stack_->file("mechanisms.txt")));
    ASSERT_FALSE(forwardedLines.empty()) << forwarded.all();
    for (size_t at = 0; at < forwardedLines.size();) {
        const size_t end = forwardedLines.find('\n', at);
        const std::string line = forwardedLines.substr(at, end - at + 1);
        EXPECT_NE(directLines.find(line), std::string::npos) << line;
        at = end + 1;
    }
    EXPECT_NE(forwardedLines.find("SHA256-RSA-PKCS"), std::string::npos) << forwardedLines;
    EXPECT_NE(forwardedLines.find("ECDSA"), std::string::npos) << forwardedLines;
}

TEST_P(P11kitServer, MakesKeysAndSignsThroughTheForwarding) {
    test::WriteFile(stack_->file("doc.txt"), "signed through p11-kit's forwarding\n");
    const RunResult made = Forwarded(
        "pkcs11-tool --module $CLIENT --login --pin env:PIN --keypairgen --key-type rsa:2048 "
        "--id 08 --label forwarded >/dev/null; "
        "pkcs11-tool --module $CLIENT --login --pin env:PIN --sign --id 08 "
        "--mechanism SHA256-RSA-PKCS --input-file doc.txt --output-file doc.sig; "
        "pkcs11-tool --module $CLIENT --read-object --type pubkey --id 08 --output-file pub.der");
    ASSERT_EQ(made.status, 0) << made.all() << "\nserver:\n"
                              << ReadFile(stack_->file("server.log")) << "\nmodule log:\n"
                              << stack_->moduleLog();
    const RunResult verified = stack_->shell(
        "openssl dgst -sha256 -keyform DER -verify pub.der -signature doc.sig doc.txt");
    EXPECT_EQ(verified.status, 0) << verified.all();
    EXPECT_NE(verified.out.find("Verified OK"), std::string::npos) << verified.all();
    // The key is on the device: the module itself finds it.
    const RunResult listed =
        stack_->pkcs11Tool({"--login", "--pin", kUserPin, "--list-objects", "--type", "privkey"});
    EXPECT_NE(listed.out.find("label:      forwarded"), std::string::npos) << listed.all();
}

INSTANTIATE_TEST_SUITE_P(Links, P11kitServer, ::testing::Values(Link::Hid, Link::Daemon),
                         [](const auto& info) { return LinkName(info.param); });

}  // namespace
}  // namespace vexa::e2e
