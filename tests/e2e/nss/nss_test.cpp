// NSS with the module added to its database the way browsers and mail
// clients take a PKCS#11 module (modutil -add): NSS lists the tokens, makes
// key pairs and self-signed certificates on the device (the device signs
// them), finds them again, and signs a CMS message with a device key. Plain
// OpenSSL checks every signature.
#include <gtest/gtest.h>

#include "e2e/support/token_stack.h"

namespace vexa::e2e {
namespace {

constexpr const char* kToken = "Vexa Token";

class Nss : public ::testing::TestWithParam<Link> {
protected:
    void SetUp() override {
        if (!test::kToolCanLoadModule) {
            GTEST_SKIP() << "NSS cannot load a module built with a sanitizer";
        }
        stack_ = std::make_unique<CTokenStack>(GetParam());
        ASSERT_TRUE(stack_->ready()) << stack_->problem();
        test::WriteFile(stack_->file("pin.txt"), std::string(kUserPin) + "\n");
        test::WriteFile(stack_->file("noise.bin"), std::string(64, '\x5a'));
        Ok("mkdir db && certutil -N -d sql:db --empty-password");
        Ok("modutil -force -dbdir sql:db -add vexa -libfile '" + stack_->modulePath() + "'");
    }

    // A shell command in the stack's directory; its output for checks.
    std::string Ok(const std::string& command) {
        const RunResult result = stack_->shell(command + " </dev/null");
        EXPECT_EQ(result.status, 0) << command << "\n"
                                    << result.all() << "\nmodule log:\n"
                                    << stack_->moduleLog();
        return result.all();
    }

    // certutil -S: a key pair made on the device and a self-signed
    // certificate for it, signed by the device and stored on the token.
    void MakeSelfSigned(const std::string& name, const std::string& keyOptions) {
        Ok("certutil -S -x -d sql:db -h '" + std::string(kToken) + "' -f pin.txt -z noise.bin -n " +
           name + " -s 'CN=" + name + "' -t CTu,CTu,CTu " + keyOptions);
    }

    std::unique_ptr<CTokenStack> stack_;
};

TEST_P(Nss, ModutilShowsEveryToken) {
    const std::string out = Ok("modutil -dbdir sql:db -list vexa");
    EXPECT_NE(out.find("PKCS #11 Version 2.40"), std::string::npos) << out;
    EXPECT_EQ(CountOf(out, "Token Name: Vexa Token"), stack_->slotCount()) << out;
    for (size_t slot = 0; slot < stack_->slotCount(); ++slot) {
        EXPECT_NE(out.find("Token Serial Number: " + stack_->serial(slot)), std::string::npos)
            << out;
    }
    EXPECT_NE(out.find("Login Type: Login required"), std::string::npos) << out;
}

TEST_P(Nss, MakesKeysAndSelfSignedCertificatesOnTheDevice) {
    MakeSelfSigned("nss-ec", "-k ec -q nistp256");
    MakeSelfSigned("nss-rsa", "-k rsa -g 2048");

    const std::string keys =
        Ok("certutil -K -d sql:db -h '" + std::string(kToken) + "' -f pin.txt");
    EXPECT_NE(keys.find("ec "), std::string::npos) << keys;
    EXPECT_NE(keys.find("Vexa Token:nss-ec"), std::string::npos) << keys;
    EXPECT_NE(keys.find("rsa "), std::string::npos) << keys;
    EXPECT_NE(keys.find("Vexa Token:nss-rsa"), std::string::npos) << keys;

    for (const char* name : {"nss-ec", "nss-rsa"}) {
        SCOPED_TRACE(name);
        const std::string pem = std::string(name) + ".pem";
        Ok("certutil -L -d sql:db -h '" + std::string(kToken) +
           "' -f pin.txt -n 'Vexa Token:" + name + "' -a > " + pem);
        // The device's signature over the certificate, checked by OpenSSL.
        const std::string verified = Ok("openssl verify -CAfile " + pem + " " + pem);
        EXPECT_NE(verified.find(pem + ": OK"), std::string::npos) << verified;
    }
    // The certificates are objects on the token for every client.
    const RunResult objects = stack_->pkcs11Tool({"--list-objects", "--type", "cert"});
    EXPECT_EQ(objects.status, 0) << objects.all();
    EXPECT_NE(objects.out.find("label:      nss-ec"), std::string::npos) << objects.all();
    EXPECT_NE(objects.out.find("subject:    DN: CN=nss-rsa"), std::string::npos) << objects.all();
}

TEST_P(Nss, SignsCmsMessagesThatOpensslVerifies) {
    MakeSelfSigned("signer", "-k ec -q nistp256");
    Ok("certutil -L -d sql:db -h '" + std::string(kToken) +
       "' -f pin.txt -n 'Vexa Token:signer' -a > signer.pem");
    test::WriteFile(stack_->file("letter.txt"), "signed by NSS with a key on the device\n");
    test::WriteFile(stack_->file("forged.txt"), "not what was signed\n");
    Ok("cmsutil -S -T -N 'Vexa Token:signer' -d sql:db -p " + std::string(kUserPin) +
       " -i letter.txt -o letter.p7s");

    const std::string verify =
        "openssl cms -verify -binary -inform DER -in letter.p7s -CAfile signer.pem -purpose any "
        "-out /dev/null -content ";
    const std::string good = Ok(verify + "letter.txt");
    EXPECT_NE(good.find("Verification successful"), std::string::npos) << good;
    const RunResult forged = stack_->shell(verify + "forged.txt");
    EXPECT_NE(forged.status, 0) << forged.all();
}

TEST_P(Nss, WrongPinIsRefused) {
    test::WriteFile(stack_->file("wrong.txt"), "999999\n");
    const RunResult result = stack_->shell("certutil -K -d sql:db -h '" + std::string(kToken) +
                                           "' -f wrong.txt </dev/null");
    EXPECT_NE(result.status, 0) << result.all();
    EXPECT_NE(result.all().find("SEC_ERROR_BAD_PASSWORD"), std::string::npos) << result.all();
}

INSTANTIATE_TEST_SUITE_P(Links, Nss, ::testing::Values(Link::Hid, Link::Daemon),
                         [](const auto& info) { return LinkName(info.param); });

}  // namespace
}  // namespace vexa::e2e
