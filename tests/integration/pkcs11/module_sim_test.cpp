// The built module, loaded with dlopen the way applications load it, against
// a real vexa-sim with two devices reached over the virtual HID link: slots,
// tokens, mechanisms, token initialisation, sessions and login on both
// slots, eight threads sharing the module, and pkcs11-tool as the client.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "integration/pkcs11/module_under_test.h"
#include "integration/tls/test_env.h"
#include "support/module_stack.h"
#include "support/temp_dir.h"

namespace vexa::test {
namespace {

CK_UTF8CHAR* utf8(const char* text) {
    return reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(text));
}

TEST(ModuleExports, AreTheSixtyEightCFunctionsOnly) {
    const std::vector<std::string> symbols = DefinedDynamicSymbols(ModulePath());
    ASSERT_FALSE(symbols.empty()) << "nm found nothing in " << ModulePath();
    for (const std::string& symbol : symbols) {
        EXPECT_EQ(symbol.rfind("C_", 0), 0u) << symbol;
    }
    EXPECT_EQ(symbols.size(), 68u);
}

// The module sees two simulated devices: a Vexa and a Dorvik. The module's
// configuration lies in a private working directory and writes every log
// line, TRACE included, into a file there.
class TwoDevices : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        work_ = new TempDir();
        logFile_ = work_->file("module.log");
        WriteFile(work_->file("vexaconfig.json"),
                  R"({"logging": {"loglevel": 10, "logfile": ")" + logFile_ + R"("}})");
        ASSERT_EQ(chdir(work_->path().c_str()), 0);
        setenv("HOME", work_->path().c_str(), 1);
        module_ = new CLoadedModule();
    }
    static void TearDownTestSuite() {
        delete module_;
        delete work_;
    }

    void SetUp() override {
        ASSERT_TRUE(module_->loaded()) << module_->error();
        sim_ = std::make_unique<CSimProcess>(
            simDir_.path(),
            std::vector<std::string>{"--devices", "2", "--product", "Vexa", "Dorvik"});
        ASSERT_TRUE(sim_->ready()) << sim_->process().err();
        setenv("VEXA_VIRTUAL_DEVICE", sim_->socket().c_str(), 1);
    }
    void TearDown() override {
        if (initialised_) {
            EXPECT_EQ((*module_)->C_Finalize(nullptr), CKR_OK);
        }
    }

    CK_FUNCTION_LIST& p11() { return **module_; }
    void initialize(CK_C_INITIALIZE_ARGS* args = nullptr) {
        ASSERT_EQ(p11().C_Initialize(args), CKR_OK);
        initialised_ = true;
    }
    CK_SESSION_HANDLE open(CK_SLOT_ID slot, CK_FLAGS flags) {
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        EXPECT_EQ(p11().C_OpenSession(slot, flags, nullptr, nullptr, &session), CKR_OK);
        return session;
    }
    CK_STATE state(CK_SESSION_HANDLE session, CK_SLOT_ID slot) {
        CK_SESSION_INFO info{};
        EXPECT_EQ(p11().C_GetSessionInfo(session, &info), CKR_OK);
        EXPECT_EQ(info.slotID, slot);
        return info.state;
    }
    std::string label(CK_SLOT_ID slot) {
        CK_TOKEN_INFO info{};
        EXPECT_EQ(p11().C_GetTokenInfo(slot, &info), CKR_OK);
        return Trimmed(info.label, sizeof info.label);
    }

    static TempDir* work_;
    static std::string logFile_;
    static CLoadedModule* module_;
    TempDir simDir_;
    std::unique_ptr<CSimProcess> sim_;
    bool initialised_ = false;
};

TempDir* TwoDevices::work_ = nullptr;
std::string TwoDevices::logFile_;
CLoadedModule* TwoDevices::module_ = nullptr;

TEST_F(TwoDevices, DescribeTwoSlotsTheirTokensAndMechanisms) {
    EXPECT_EQ(p11().C_GetSlotList(CK_FALSE, nullptr, nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    initialize();
    CK_SLOT_ID slots[4];
    CK_ULONG count = 4;
    ASSERT_EQ(p11().C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
    ASSERT_EQ(count, 2u);

    const char* descriptions[] = {"Vexa USB", "Dorvik USB"};
    const char* serials[] = {"564558410001", "564558410002"};
    const CK_ULONG rsaMax[] = {4096, 2048};
    for (CK_SLOT_ID slot = 0; slot < 2; ++slot) {
        CK_SLOT_INFO slotInfo{};
        ASSERT_EQ(p11().C_GetSlotInfo(slot, &slotInfo), CKR_OK);
        EXPECT_EQ(Trimmed(slotInfo.slotDescription, 64), descriptions[slot]);
        EXPECT_EQ(slotInfo.flags, CKF_TOKEN_PRESENT);

        CK_TOKEN_INFO token{};
        ASSERT_EQ(p11().C_GetTokenInfo(slot, &token), CKR_OK);
        EXPECT_EQ(Trimmed(token.label, 32), "Vexa Token");
        EXPECT_EQ(Trimmed(token.manufacturerID, 32), "Talvoranth");
        EXPECT_EQ(Trimmed(token.serialNumber, 16), serials[slot]);
        EXPECT_NE(token.flags & CKF_TOKEN_INITIALIZED, 0u);

        CK_ULONG mechanisms = 0;
        ASSERT_EQ(p11().C_GetMechanismList(slot, nullptr, &mechanisms), CKR_OK);
        EXPECT_EQ(mechanisms, 58u);
        CK_MECHANISM_INFO rsa{};
        ASSERT_EQ(p11().C_GetMechanismInfo(slot, CKM_RSA_PKCS_KEY_PAIR_GEN, &rsa), CKR_OK);
        EXPECT_EQ(rsa.ulMaxKeySize, rsaMax[slot]);
    }
    CK_INFO info{};
    ASSERT_EQ(p11().C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(Trimmed(info.manufacturerID, 32), "Talvoranth");
}

TEST_F(TwoDevices, InitTokenRelabelsOnlyItsOwnSlot) {
    initialize();
    CK_UTF8CHAR newLabel[32];
    std::memset(newLabel, ' ', sizeof newLabel);
    std::memcpy(newLabel, "Renamed", 7);
    EXPECT_EQ(p11().C_InitToken(1, utf8("00000000"), 8, newLabel), CKR_PIN_INCORRECT);
    EXPECT_EQ(p11().C_InitToken(1, utf8("12345678"), 8, newLabel), CKR_OK);
    EXPECT_EQ(label(1), "Renamed");
    EXPECT_EQ(label(0), "Vexa Token");
}

TEST_F(TwoDevices, SessionsAndLoginOnBothSlots) {
    initialize();
    const CK_SESSION_HANDLE readOnly = open(0, CKF_SERIAL_SESSION);
    const CK_SESSION_HANDLE readWrite = open(1, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_EQ(state(readOnly, 0), CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(state(readWrite, 1), CKS_RW_PUBLIC_SESSION);

    // Wrong and right PIN; the login of slot 1 does not touch slot 0.
    EXPECT_EQ(p11().C_Login(readWrite, CKU_USER, utf8("654321"), 6), CKR_PIN_INCORRECT);
    EXPECT_EQ(p11().C_Login(readWrite, CKU_USER, utf8("123456"), 6), CKR_OK);
    EXPECT_EQ(state(readWrite, 1), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(state(readOnly, 0), CKS_RO_PUBLIC_SESSION);
    CK_BYTE random[32];
    EXPECT_EQ(p11().C_GenerateRandom(readWrite, random, sizeof random), CKR_OK);

    // A new PIN works and the old one no longer does.
    EXPECT_EQ(p11().C_SetPIN(readWrite, utf8("123456"), 6, utf8("24681357"), 8), CKR_OK);
    EXPECT_EQ(p11().C_Logout(readWrite), CKR_OK);
    EXPECT_EQ(state(readWrite, 1), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(p11().C_Login(readWrite, CKU_USER, utf8("123456"), 6), CKR_PIN_INCORRECT);
    EXPECT_EQ(p11().C_Login(readWrite, CKU_USER, utf8("24681357"), 8), CKR_OK);
    EXPECT_EQ(p11().C_Logout(readWrite), CKR_OK);

    // The security officer on slot 0 needs a read/write session there.
    const CK_SESSION_HANDLE officer = open(0, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_EQ(p11().C_CloseSession(readOnly), CKR_OK);
    EXPECT_EQ(p11().C_Login(officer, CKU_SO, utf8("12345678"), 8), CKR_OK);
    EXPECT_EQ(state(officer, 0), CKS_RW_SO_FUNCTIONS);

    EXPECT_EQ(p11().C_CloseSession(readOnly), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(p11().C_CloseAllSessions(0), CKR_OK);
    EXPECT_EQ(p11().C_CloseSession(readWrite), CKR_OK);
}

TEST_F(TwoDevices, LogHasTheCallsButNeverAPin) {
    initialize();
    const CK_SESSION_HANDLE session = open(0, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_EQ(p11().C_Login(session, CKU_USER, utf8("97531864"), 8), CKR_PIN_INCORRECT);
    EXPECT_EQ(p11().C_SetPIN(session, utf8("97531864"), 8, utf8("86420975"), 8), CKR_PIN_INCORRECT);
    std::ifstream file(logFile_);
    std::stringstream log;
    log << file.rdbuf();
    EXPECT_NE(log.str().find("TRACE : C_Login"), std::string::npos) << log.str();
    EXPECT_EQ(log.str().find("97531864"), std::string::npos);
    EXPECT_EQ(log.str().find("86420975"), std::string::npos);
}

TEST_F(TwoDevices, FinalizeAndInitializeAgainFindsTheDevicesAgain) {
    initialize();
    const CK_SESSION_HANDLE session = open(1, CKF_SERIAL_SESSION);
    ASSERT_EQ(p11().C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(p11().C_Initialize(nullptr), CKR_OK);
    CK_ULONG count = 0;
    ASSERT_EQ(p11().C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(p11().C_Logout(session), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(label(1), "Vexa Token");
}

TEST_F(TwoDevices, EightThreadsOpenLoginAndCloseConcurrently) {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    initialize(&args);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            const CK_SLOT_ID slot = static_cast<CK_SLOT_ID>(t % 2);
            for (int round = 0; round < 10; ++round) {
                CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
                if (p11().C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                        &session) != CKR_OK) {
                    ++wrong;
                    continue;
                }
                // The login state is the token's: another thread may hold it.
                const CK_RV login = p11().C_Login(session, CKU_USER, utf8("123456"), 6);
                CK_SESSION_INFO info{};
                CK_BYTE random[16];
                const CK_RV logout = p11().C_Logout(session);
                if ((login != CKR_OK && login != CKR_USER_ALREADY_LOGGED_IN) ||
                    p11().C_GetSessionInfo(session, &info) != CKR_OK || info.slotID != slot ||
                    p11().C_GenerateRandom(session, random, sizeof random) != CKR_OK ||
                    (logout != CKR_OK && logout != CKR_USER_NOT_LOGGED_IN) ||
                    p11().C_CloseSession(session) != CKR_OK) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, 0);
    for (CK_SLOT_ID slot = 0; slot < 2; ++slot) {
        CK_TOKEN_INFO token{};
        ASSERT_EQ(p11().C_GetTokenInfo(slot, &token), CKR_OK);
        EXPECT_EQ(token.ulSessionCount, 0u) << slot;
    }
}

// pkcs11-tool, a real PKCS#11 application, in its own process.
class Pkcs11ToolTwoDevices : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(stack_.ready()) << stack_.problem();
        ASSERT_TRUE(stack_.enter()) << stack_.dir();
    }
    ModuleStack stack_{Link::Hid, {2, "", {"--product", "Vexa", "Dorvik"}, std::nullopt, ""}};
};

TEST_F(Pkcs11ToolTwoDevices, ListsTwoSlotsDrawsRandomAfterLoginAndRefusesAWrongPin) {
    if (!kToolCanLoadModule) {
        GTEST_SKIP() << "pkcs11-tool cannot load a module built with a sanitizer";
    }
    const ToolResult info = RunPkcs11Tool({"--show-info"});
    EXPECT_EQ(info.status, 0) << info.output;
    EXPECT_NE(info.output.find("Talvoranth PKCS11 Library"), std::string::npos) << info.output;

    const ToolResult slots = RunPkcs11Tool({"--list-slots"});
    EXPECT_EQ(slots.status, 0) << slots.output;
    EXPECT_NE(slots.output.find("Slot 0 (0x0): Vexa USB"), std::string::npos) << slots.output;
    EXPECT_NE(slots.output.find("Slot 1 (0x1): Dorvik USB"), std::string::npos) << slots.output;

    const ToolResult tokens = RunPkcs11Tool({"--list-token-slots"});
    EXPECT_EQ(tokens.status, 0) << tokens.output;
    EXPECT_NE(tokens.output.find("serial num         : 564558410002"), std::string::npos)
        << tokens.output;

    const ToolResult mechanisms = RunPkcs11Tool({"--list-mechanisms"});
    EXPECT_EQ(mechanisms.status, 0) << mechanisms.output;
    EXPECT_NE(mechanisms.output.find("ECDSA"), std::string::npos) << mechanisms.output;

    ExpectToolDrawsRandomAndRefusesAWrongPin(stack_.dir(), "111111");
}

}  // namespace
}  // namespace vexa::test
