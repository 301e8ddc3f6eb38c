// GnuTLS p11tool with the built module as its provider: tokens and objects
// by PKCS#11 URI, keys generated on the device, and signatures that p11tool
// checks against the key's parameters and the public key on the token.
#include <gtest/gtest.h>

#include "e2e/support/token_stack.h"

namespace vexa::e2e {
namespace {

class P11tool : public ::testing::TestWithParam<Link> {
protected:
    void SetUp() override {
        if (!test::kToolCanLoadModule) {
            GTEST_SKIP() << "p11tool cannot load a module built with a sanitizer";
        }
        stack_ = std::make_unique<CTokenStack>(GetParam());
        ASSERT_TRUE(stack_->ready()) << stack_->problem();
    }

    // p11tool with the module; the PIN comes from the environment.
    RunResult Run(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"--provider", stack_->modulePath()};
        all.insert(all.end(), args.begin(), args.end());
        return stack_->run("/usr/bin/p11tool", all, {{"GNUTLS_PIN", kUserPin}});
    }
    std::string Ok(const std::vector<std::string>& args) {
        const RunResult result = Run(args);
        EXPECT_EQ(result.status, 0) << result.all() << "\nmodule log:\n" << stack_->moduleLog();
        return result.all();
    }
    // The URI of the token of the first slot.
    std::string Token() const { return "pkcs11:serial=" + stack_->serial(0); }

    std::unique_ptr<CTokenStack> stack_;
};

TEST_P(P11tool, ListsEveryTokenWithItsUri) {
    const std::string out = Ok({"--list-tokens"});
    EXPECT_EQ(CountOf(out, "Label: Vexa Token"), stack_->slotCount()) << out;
    for (size_t slot = 0; slot < stack_->slotCount(); ++slot) {
        EXPECT_NE(out.find("URL: pkcs11:model=Vexa;manufacturer=Talvoranth;serial=" +
                           stack_->serial(slot) + ";token=Vexa%20Token"),
                  std::string::npos)
            << out;
    }
    EXPECT_NE(out.find("Flags: RNG, Requires login"), std::string::npos) << out;
}

TEST_P(P11tool, GeneratesKeysListsThemAndSigns) {
    Ok({"--login", "--generate-privkey=rsa", "--bits=2048", "--label=gnutls-rsa", Token()});
    Ok({"--login", "--generate-privkey=ecdsa", "--curve=secp256r1", "--label=gnutls-ec", Token()});

    const std::string keys = Ok({"--login", "--list-all-privkeys", Token()});
    EXPECT_NE(keys.find("Type: Private key (RSA-2048)"), std::string::npos) << keys;
    EXPECT_NE(keys.find("Type: Private key (EC/ECDSA-SECP256R1)"), std::string::npos) << keys;
    EXPECT_NE(keys.find("object=gnutls-ec;type=private"), std::string::npos) << keys;
    // Private keys stay hidden without a login; public keys do not.
    const std::string unauthenticated = Ok({"--list-all", Token()});
    EXPECT_EQ(unauthenticated.find("type=private"), std::string::npos) << unauthenticated;
    EXPECT_EQ(CountOf(unauthenticated, "type=public"), 2u) << unauthenticated;

    for (const char* key : {"gnutls-rsa", "gnutls-ec"}) {
        SCOPED_TRACE(key);
        const std::string out = Ok({"--login", "--test-sign", Token() + ";object=" + key});
        EXPECT_NE(out.find("Verifying against private key parameters... ok"), std::string::npos)
            << out;
        EXPECT_NE(out.find("Verifying against public key in the token... ok"), std::string::npos)
            << out;
    }
}

// A DSA key pair made on the device; GnuTLS signs with DSA-SHA256 and
// checks the signature against the key's parameters and the token's
// public key.
TEST_P(P11tool, GeneratesADsaKeyAndSigns) {
    Ok({"--login", "--generate-privkey=dsa", "--bits=2048", "--label=gnutls-dsa", Token()});
    const std::string out = Ok({"--login", "--test-sign", Token() + ";object=gnutls-dsa"});
    EXPECT_NE(out.find("Signing using DSA-SHA256... ok"), std::string::npos) << out;
    EXPECT_NE(out.find("Verifying against public key in the token... ok"), std::string::npos)
        << out;
}

TEST_P(P11tool, ExportsThePublicKeyOpensslReads) {
    Ok({"--login", "--generate-privkey=ecdsa", "--curve=secp256r1", "--label=exported", Token()});
    Ok({"--login", "--export-pubkey", "--outfile", stack_->file("pub.pem"),
        Token() + ";object=exported;type=public"});
    const RunResult check = stack_->shell("openssl pkey -pubin -in pub.pem -noout -text");
    EXPECT_EQ(check.status, 0) << check.all();
    EXPECT_NE(check.out.find("ASN1 OID: prime256v1"), std::string::npos) << check.all();
}

TEST_P(P11tool, WrongPinIsRefused) {
    const RunResult result =
        stack_->run("/usr/bin/p11tool",
                    {"--provider", stack_->modulePath(), "--login", "--list-all-privkeys", Token()},
                    {{"GNUTLS_PIN", "999999"}});
    EXPECT_NE(result.status, 0) << result.all();
    EXPECT_EQ(result.all().find("type=private"), std::string::npos) << result.all();
}

INSTANTIATE_TEST_SUITE_P(Links, P11tool, ::testing::Values(Link::Hid, Link::Daemon),
                         [](const auto& info) { return LinkName(info.param); });

}  // namespace
}  // namespace vexa::e2e
