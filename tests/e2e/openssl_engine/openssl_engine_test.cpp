// The OpenSSL pkcs11 engine, configured the way users do it (an openssl
// configuration file that loads the engine with MODULE_PATH = our module),
// signs with keys generated on the device, named by PKCS#11 URIs. Plain
// OpenSSL, without the engine, verifies every signature.
#include <gtest/gtest.h>

#include "e2e/support/token_stack.h"

namespace vexa::e2e {
namespace {

class OpensslEngine : public ::testing::TestWithParam<Link> {
protected:
    void SetUp() override {
        if (!test::kToolCanLoadModule) {
            GTEST_SKIP() << "openssl cannot load a module built with a sanitizer";
        }
        stack_ = std::make_unique<CTokenStack>(GetParam());
        ASSERT_TRUE(stack_->ready()) << stack_->problem();
        test::WriteFile(stack_->file("engine.cnf"),
                        "openssl_conf = openssl_init\n"
                        "[openssl_init]\n"
                        "engines = engine_section\n"
                        "[engine_section]\n"
                        "pkcs11 = pkcs11_section\n"
                        "[pkcs11_section]\n"
                        "engine_id = pkcs11\n"
                        "MODULE_PATH = " +
                            stack_->modulePath() +
                            "\n"
                            "init = 0\n");
        // The keys are made with pkcs11-tool: key generation is not the
        // engine's job.
        for (const auto& [type, id, label] :
             {std::tuple{"rsa:2048", "01", "rsa"}, std::tuple{"EC:prime256v1", "02", "ec"}}) {
            const RunResult made =
                stack_->pkcs11Tool({"--login", "--pin", kUserPin, "--keypairgen", "--key-type",
                                    type, "--id", id, "--label", label});
            ASSERT_EQ(made.status, 0) << made.all();
        }
        test::WriteFile(stack_->file("data.txt"), "signed through the OpenSSL engine\n");
        test::WriteFile(stack_->file("other.txt"), "something else\n");
    }

    // openssl with the engine's configuration.
    RunResult WithEngine(const std::string& arguments) {
        return stack_->run("/bin/sh", {"-c", "openssl " + arguments},
                           {{"OPENSSL_CONF", stack_->file("engine.cnf")}});
    }
    // A key's URI: the token by serial number, the key by label and type.
    std::string Uri(const std::string& label, const std::string& type) const {
        return "'pkcs11:serial=" + stack_->serial(0) + ";object=" + label + ";type=" + type + "'";
    }

    std::unique_ptr<CTokenStack> stack_;
};

struct SignCase {
    const char* name;
    const char* key;
    const char* options;  // openssl dgst options for both sides
};

// The engine signs a hash: raw CKM_RSA_PKCS over a DigestInfo, CKM_RSA_PKCS_PSS
// and raw CKM_ECDSA.
const SignCase kCases[] = {
    {"RsaPkcs1", "rsa", ""},
    {"RsaPss", "rsa", "-sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32"},
    {"Ecdsa", "ec", ""},
};

TEST_P(OpensslEngine, SignsWithDeviceKeysByUriAndPlainOpensslVerifies) {
    for (const SignCase& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string sig = std::string(c.name) + ".sig";
        const std::string pub = std::string(c.name) + ".pub.pem";
        const RunResult signed_ = WithEngine(
            "dgst -sha256 " + std::string(c.options) + " -engine pkcs11 -keyform engine -sign " +
            Uri(c.key, std::string("private;pin-value=") + kUserPin) + " -out " + sig +
            " data.txt");
        ASSERT_EQ(signed_.status, 0) << signed_.all() << "\nmodule log:\n" << stack_->moduleLog();
        const RunResult exported = WithEngine("pkey -engine pkcs11 -pubin -inform engine -in " +
                                              Uri(c.key, "public") + " -pubout -out " + pub);
        ASSERT_EQ(exported.status, 0) << exported.all();

        const std::string verify = "openssl dgst -sha256 " + std::string(c.options) + " -verify " +
                                   pub + " -signature " + sig + " ";
        const RunResult good = stack_->shell(verify + "data.txt");
        EXPECT_EQ(good.status, 0) << good.all();
        EXPECT_NE(good.out.find("Verified OK"), std::string::npos) << good.all();
        EXPECT_NE(stack_->shell(verify + "other.txt").status, 0);
    }
}

TEST_P(OpensslEngine, WrongPinInTheUriSignsNothing) {
    const RunResult result =
        WithEngine("dgst -sha256 -engine pkcs11 -keyform engine -sign " +
                   Uri("rsa", "private;pin-value=999999") + " -out bad.sig data.txt");
    EXPECT_NE(result.status, 0) << result.all();
    EXPECT_TRUE(ReadFile(stack_->file("bad.sig")).empty());
}

// The engine never logs out nor calls C_Finalize: its login must end with its
// process, so that neither a wrong PIN after it signs anything nor a later
// pkcs11-tool --login finds the token logged in already.
TEST_P(OpensslEngine, ItsLoginEndsWithItsProcess) {
    const RunResult signed_ = WithEngine("dgst -sha256 -engine pkcs11 -keyform engine -sign " +
                                         Uri("rsa", std::string("private;pin-value=") + kUserPin) +
                                         " -out rsa.sig data.txt");
    ASSERT_EQ(signed_.status, 0) << signed_.all() << "\nmodule log:\n" << stack_->moduleLog();
    const RunResult wrongPin =
        WithEngine("dgst -sha256 -engine pkcs11 -keyform engine -sign " +
                   Uri("rsa", "private;pin-value=000000") + " -out bad.sig data.txt");
    EXPECT_NE(wrongPin.status, 0) << wrongPin.all();
    EXPECT_TRUE(ReadFile(stack_->file("bad.sig")).empty());
    const RunResult read = stack_->pkcs11Tool(
        {"--login", "--pin", kUserPin, "--read-object", "--type", "pubkey", "--label", "rsa"});
    EXPECT_EQ(read.status, 0) << read.all() << "\nmodule log:\n" << stack_->moduleLog();
    EXPECT_FALSE(read.out.empty());
}

INSTANTIATE_TEST_SUITE_P(Links, OpensslEngine, ::testing::Values(Link::Hid, Link::Daemon),
                         [](const auto& info) { return LinkName(info.param); });

}  // namespace
}  // namespace vexa::e2e
