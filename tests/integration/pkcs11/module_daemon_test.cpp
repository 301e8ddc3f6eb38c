// The built module configured by "vexaconfig.json" for a remote daemon: a
// real vexa-daemon serves TLS on loopback and relays to one device of a real
// vexa-sim. The module then has exactly one slot.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "integration/pkcs11/module_under_test.h"
#include "support/module_stack.h"

namespace vexa::test {
namespace {

constexpr const char* kSerial = "564558410007";

CK_UTF8CHAR* utf8(const char* text) {
    return reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(text));
}

class ThroughDaemon : public ::testing::Test {
protected:
    // One sim, one daemon and the module's configuration (naming the
    // daemon) for the whole suite: the module reads its configuration once
    // per process.
    static void SetUpTestSuite() {
        stack_ = new ModuleStack(Link::Daemon, {1, kSerial, {}, std::nullopt, ""});
        ASSERT_TRUE(stack_->ready()) << stack_->problem();
        ASSERT_TRUE(stack_->enter()) << stack_->dir();
        module_ = new CLoadedModule();
    }
    static void TearDownTestSuite() {
        delete module_;
        delete stack_;
    }

    void SetUp() override {
        ASSERT_NE(module_, nullptr);
        ASSERT_TRUE(module_->loaded()) << module_->error();
    }

    CK_FUNCTION_LIST& p11() { return **module_; }

    static ModuleStack* stack_;
    static CLoadedModule* module_;
};

ModuleStack* ThroughDaemon::stack_ = nullptr;
CLoadedModule* ThroughDaemon::module_ = nullptr;

TEST_F(ThroughDaemon, OneSlotWithTokenSessionsLoginAndPinChange) {
    ASSERT_EQ(p11().C_Initialize(nullptr), CKR_OK);
    CK_SLOT_ID slot = 99;
    CK_ULONG count = 1;
    ASSERT_EQ(p11().C_GetSlotList(CK_TRUE, &slot, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(slot, 0u);

    CK_SLOT_INFO slotInfo{};
    ASSERT_EQ(p11().C_GetSlotInfo(0, &slotInfo), CKR_OK);
    EXPECT_EQ(Trimmed(slotInfo.slotDescription, 64), "Vexa");
    EXPECT_EQ(slotInfo.flags, CKF_TOKEN_PRESENT);
    CK_TOKEN_INFO token{};
    ASSERT_EQ(p11().C_GetTokenInfo(0, &token), CKR_OK);
    EXPECT_EQ(Trimmed(token.serialNumber, 16), kSerial);
    CK_ULONG mechanisms = 0;
    ASSERT_EQ(p11().C_GetMechanismList(0, nullptr, &mechanisms), CKR_OK);
    EXPECT_EQ(mechanisms, 58u);

    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    ASSERT_EQ(
        p11().C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
        CKR_OK);
    EXPECT_EQ(p11().C_Login(session, CKU_USER, utf8("000000"), 6), CKR_PIN_INCORRECT);
    ASSERT_EQ(p11().C_Login(session, CKU_USER, utf8("123456"), 6), CKR_OK);
    CK_SESSION_INFO info{};
    ASSERT_EQ(p11().C_GetSessionInfo(session, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS);
    CK_BYTE random[64];
    EXPECT_EQ(p11().C_GenerateRandom(session, random, sizeof random), CKR_OK);

    // Change the PIN, use it, and put the old one back for the other tests.
    EXPECT_EQ(p11().C_SetPIN(session, utf8("123456"), 6, utf8("11223344"), 8), CKR_OK);
    EXPECT_EQ(p11().C_Logout(session), CKR_OK);
    EXPECT_EQ(p11().C_Login(session, CKU_USER, utf8("11223344"), 8), CKR_OK);
    EXPECT_EQ(p11().C_SetPIN(session, utf8("11223344"), 8, utf8("123456"), 6), CKR_OK);
    EXPECT_EQ(p11().C_Logout(session), CKR_OK);
    EXPECT_EQ(p11().C_CloseSession(session), CKR_OK);
    // Finalizing closes the TLS connection, so the daemon can take the next client.
    EXPECT_EQ(p11().C_Finalize(nullptr), CKR_OK);
}

TEST_F(ThroughDaemon, Pkcs11ToolSeesOneSlotAndLogsIn) {
    if (!kToolCanLoadModule) {
        GTEST_SKIP() << "pkcs11-tool cannot load a module built with a sanitizer";
    }
    const ToolResult slots = RunPkcs11Tool({"--list-slots"});
    EXPECT_EQ(slots.status, 0) << slots.output;
    EXPECT_NE(slots.output.find("Slot 0 (0x0): Vexa"), std::string::npos) << slots.output;
    EXPECT_EQ(slots.output.find("Slot 1"), std::string::npos) << slots.output;

    const ToolResult mechanisms = RunPkcs11Tool({"--list-mechanisms"});
    EXPECT_EQ(mechanisms.status, 0) << mechanisms.output;

    ExpectToolDrawsRandomAndRefusesAWrongPin(stack_->dir(), "999999");
}

}  // namespace
}  // namespace vexa::test
