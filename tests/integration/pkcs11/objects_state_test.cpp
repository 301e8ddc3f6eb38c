// Token objects outlive the virtual device: created through the built module
// against a vexa-sim that keeps a state file, found again with the same
// values after the simulator was stopped and started over the same file,
// while session objects are gone.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "integration/pkcs11/module_under_test.h"
#include "integration/tls/test_env.h"
#include "support/temp_dir.h"

namespace vexa::test {
namespace {

using Bytes = std::vector<uint8_t>;

CK_UTF8CHAR* utf8(const char* text) {
    return reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(text));
}

class TokenState : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(chdir(work_.path().c_str()), 0);
        setenv("HOME", work_.path().c_str(), 1);
        module_ = std::make_unique<CLoadedModule>();
        ASSERT_TRUE(module_->loaded()) << module_->error();
    }
    void TearDown() override {
        if (initialised_) {
            EXPECT_EQ(p11().C_Finalize(nullptr), CKR_OK);
        }
    }

    CK_FUNCTION_LIST& p11() { return **module_; }

    // (Re)starts vexa-sim over the state file and the module with it.
    void start() {
        sim_.reset();
        sim_ = std::make_unique<CSimProcess>(
            simDir_.path(), std::vector<std::string>{"--state", work_.file("token-state")});
        ASSERT_TRUE(sim_->ready()) << sim_->process().err();
        setenv("VEXA_VIRTUAL_DEVICE", sim_->socket().c_str(), 1);
        ASSERT_EQ(p11().C_Initialize(nullptr), CKR_OK);
        initialised_ = true;
    }
    void stop() {
        ASSERT_EQ(p11().C_Finalize(nullptr), CKR_OK);
        initialised_ = false;
        sim_.reset();
    }

    CK_SESSION_HANDLE open(CK_FLAGS flags = CKF_SERIAL_SESSION | CKF_RW_SESSION) {
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        EXPECT_EQ(p11().C_OpenSession(0, flags, nullptr, nullptr, &session), CKR_OK);
        return session;
    }

    CK_OBJECT_HANDLE createData(CK_SESSION_HANDLE session, const char* label, const Bytes& value,
                                bool token, bool isPrivate) {
        CK_OBJECT_CLASS data = CKO_DATA;
        CK_BBOOL onToken = token ? CK_TRUE : CK_FALSE;
        CK_BBOOL priv = isPrivate ? CK_TRUE : CK_FALSE;
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &data, sizeof data},
                               {CKA_TOKEN, &onToken, 1},
                               {CKA_PRIVATE, &priv, 1},
                               {CKA_LABEL, utf8(label), strlen(label)},
                               {CKA_VALUE, const_cast<uint8_t*>(value.data()), value.size()}};
        CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
        EXPECT_EQ(p11().C_CreateObject(session, tmpl, 5, &object), CKR_OK);
        return object;
    }

    // The values of the objects with this label.
    std::vector<Bytes> valuesOf(CK_SESSION_HANDLE session, const char* label) {
        CK_ATTRIBUTE tmpl[] = {{CKA_LABEL, utf8(label), strlen(label)}};
        EXPECT_EQ(p11().C_FindObjectsInit(session, tmpl, 1), CKR_OK);
        CK_OBJECT_HANDLE found[8];
        CK_ULONG count = 0;
        EXPECT_EQ(p11().C_FindObjects(session, found, 8, &count), CKR_OK);
        EXPECT_EQ(p11().C_FindObjectsFinal(session), CKR_OK);
        std::vector<Bytes> values;
        for (CK_ULONG i = 0; i < count; ++i) {
            Bytes value(256);
            CK_ATTRIBUTE query{CKA_VALUE, value.data(), value.size()};
            EXPECT_EQ(p11().C_GetAttributeValue(session, found[i], &query, 1), CKR_OK);
            value.resize(query.ulValueLen);
            values.push_back(value);
        }
        return values;
    }

    TempDir work_;
    TempDir simDir_;
    std::unique_ptr<CSimProcess> sim_;
    std::unique_ptr<CLoadedModule> module_;
    bool initialised_ = false;
};

TEST_F(TokenState, TokenObjectsSurviveARestartAndSessionObjectsDoNot) {
    const Bytes kept = {1, 2, 3, 4, 5};
    const Bytes secret = {9, 8, 7};
    start();
    CK_SESSION_HANDLE session = open();
    ASSERT_EQ(p11().C_Login(session, CKU_USER, utf8("123456"), 6), CKR_OK);
    createData(session, "kept", kept, /*token=*/true, /*isPrivate=*/false);
    createData(session, "kept-private", secret, true, true);
    createData(session, "dropped", {0x42}, false, false);

    // A read-only session cannot add to the token.
    const CK_SESSION_HANDLE readOnly = open(CKF_SERIAL_SESSION);
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE onToken[] = {{CKA_CLASS, &data, sizeof data}, {CKA_TOKEN, &yes, 1}};
    CK_OBJECT_HANDLE refused = CK_INVALID_HANDLE;
    EXPECT_EQ(p11().C_CreateObject(readOnly, onToken, 2, &refused), CKR_SESSION_READ_ONLY);
    stop();

    start();
    session = open();
    EXPECT_EQ(valuesOf(session, "kept"), std::vector<Bytes>{kept});
    EXPECT_TRUE(valuesOf(session, "kept-private").empty());
    EXPECT_TRUE(valuesOf(session, "dropped").empty());
    ASSERT_EQ(p11().C_Login(session, CKU_USER, utf8("123456"), 6), CKR_OK);
    EXPECT_EQ(valuesOf(session, "kept-private"), std::vector<Bytes>{secret});
}

}  // namespace
}  // namespace vexa::test
