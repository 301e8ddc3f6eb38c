// OpenSC's pkcs11-tool drives the built module as any application would:
// its own self-tests, threads and a fork, and the object and key commands,
// with results checked by openssl.
#include <gtest/gtest.h>

#include <regex>

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

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

TEST_P(Pkcs11Tool, ListsEverySlotWithItsToken) {
    const std::string out = Tool({"--list-slots"});
    EXPECT_EQ(Count(out, "token label        : Vexa Token"), stack_->slotCount()) << out;
    EXPECT_EQ(Count(out, "token manufacturer : Talvoranth"), stack_->slotCount()) << out;
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
    EXPECT_EQ(Count(out, "C_GetTokenInfo from slot_index"), 4 * 2 * stack_->slotCount()) << out;
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

INSTANTIATE_TEST_SUITE_P(Links, Pkcs11Tool, ::testing::Values(Link::Hid, Link::Daemon),
                         [](const auto& info) { return LinkName(info.param); });

}  // namespace
}  // namespace vexa::e2e
