// Sessions and login across a new connection to the device: the module
// opens the sessions again with their flags and logs in again with the PIN
// it keeps, before the call that found the connection new; the
// application's handles stay. The kept PIN goes when the login ends.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <functional>
#include <string>
#include <vector>

#include "unit/pkcs11/module_fixture.h"

namespace vexa::test {
namespace {

CK_UTF8CHAR kPin[] = "123456";
CK_UTF8CHAR kNewPin[] = "654321";

class SessionRestore : public ModuleTest {
protected:
    SessionRestore() : ModuleTest(1) {}
    void SetUp() override {
        ModuleTest::SetUp();
        devices_[0]->countsConnections = true;
        devices_[0]->setResponder([this](const SeenRequest& seen) {
            if (seen.functionId() == id(FunctionId::Login) && refuseLogin_ != CKR_OK) {
                return Reply::withRv(refuseLogin_);
            }
            return defaultAnswer(0, seen);
        });
        ASSERT_EQ(initialize(), CKR_OK);
    }

    // The daemon ends the connection (hand-over, silent limit); the next
    // call connects anew.
    void connectionEnds() {
        context_->slots().withTransport(
            0, [](talvoranth::CTransport* transport) { transport->close(); });
        devices_[0]->clearRequests();
    }
    CK_RV drawRandom(CK_SESSION_HANDLE session) {
        CK_BYTE bytes[8];
        return C_GenerateRandom(session, bytes, sizeof bytes);
    }
    std::vector<uint32_t> sent() const { return devices_[0]->functionIds(); }

    CK_RV refuseLogin_ = CKR_OK;
};

TEST_F(SessionRestore, ANewConnectionGetsTheSessionsAndTheLoginBackBeforeTheCall) {
    CK_SESSION_HANDLE rw = 0;
    CK_SESSION_HANDLE ro = 0;
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &rw), CKR_OK);
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &ro), CKR_OK);
    ASSERT_EQ(C_Login(rw, CKU_USER, kPin, 6), CKR_OK);
    connectionEnds();

    ASSERT_EQ(drawRandom(ro), CKR_OK);
    EXPECT_EQ(sent(),
              (std::vector<uint32_t>{id(FunctionId::OpenSession), id(FunctionId::OpenSession),
                                     id(FunctionId::Login), id(FunctionId::GenerateRandom)}));
    const std::vector<SeenRequest> seen = devices_[0]->requests();
    ASSERT_EQ(seen.size(), 4u);
    // Each session with its own flags, in the order of the handles.
    const bool rwFirst = rw < ro;
    EXPECT_EQ(seen[rwFirst ? 0 : 1].request.value, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_EQ(seen[rwFirst ? 1 : 0].request.value, CKF_SERIAL_SESSION);
    // The same user with the same PIN, on a session of the new connection.
    EXPECT_EQ(seen[2].request.value, CKU_USER);
    EXPECT_EQ(seen[2].data, std::vector<uint8_t>(kPin, kPin + 6));
    // The call reaches the device under the session's new number; the
    // application's handle is the one it had.
    CK_SESSION_INFO info{};
    ASSERT_EQ(C_GetSessionInfo(ro, &info), CKR_OK);
    const std::vector<SeenRequest> after = devices_[0]->requests();
    EXPECT_EQ(after.back().request.session, seen[3].request.session);
    EXPECT_NE(seen[3].request.session, static_cast<uint32_t>(ro));
    // A connection that stays is not restored again.
    EXPECT_EQ(after.size(), 5u);
}

TEST_F(SessionRestore, TheKeptPinGoesWhenTheLoginEnds) {
    struct Case {
        const char* name;
        // Ends the login on `session` (another session stays open but for
        // the last-session case); returns the session used afterwards.
        std::function<CK_SESSION_HANDLE(CK_SESSION_HANDLE session, CK_SESSION_HANDLE other)> end;
    };
    const Case cases[] = {
        {"logout",
         [](CK_SESSION_HANDLE session, CK_SESSION_HANDLE) {
             EXPECT_EQ(C_Logout(session), CKR_OK);
             return session;
         }},
        {"last session closed",
         [this](CK_SESSION_HANDLE session, CK_SESSION_HANDLE other) {
             EXPECT_EQ(C_CloseSession(other), CKR_OK);
             EXPECT_EQ(C_CloseSession(session), CKR_OK);
             return openSession(0);
         }},
        {"all sessions closed",
         [this](CK_SESSION_HANDLE, CK_SESSION_HANDLE) {
             EXPECT_EQ(C_CloseAllSessions(0), CKR_OK);
             return openSession(0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CK_SESSION_HANDLE session = openSession(0);
        const CK_SESSION_HANDLE other = openSession(0);
        ASSERT_EQ(C_Login(session, CKU_USER, kPin, 6), CKR_OK);
        const CK_SESSION_HANDLE later = c.end(session, other);
        EXPECT_FALSE(context_->logins().holds(0));
        connectionEnds();
        ASSERT_EQ(drawRandom(later), CKR_OK);
        for (uint32_t f : sent()) {
            EXPECT_NE(f, id(FunctionId::Login));
        }
        EXPECT_EQ(C_CloseAllSessions(0), CKR_OK);
    }
}

TEST_F(SessionRestore, ALoginAfterAChangedPinUsesTheNewPin) {
    const CK_SESSION_HANDLE session = openSession(0);
    ASSERT_EQ(C_Login(session, CKU_SO, kPin, 6), CKR_OK);
    ASSERT_EQ(C_SetPIN(session, kPin, 6, kNewPin, 6), CKR_OK);
    connectionEnds();
    ASSERT_EQ(drawRandom(session), CKR_OK);
    const std::vector<SeenRequest> logins = requestsOf(0, FunctionId::Login);
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(logins[0].request.value, CKU_SO);
    EXPECT_EQ(logins[0].data, std::vector<uint8_t>(kNewPin, kNewPin + 6));
}

// The PIN was changed elsewhere meanwhile: the sessions come back public,
// the user is told, and the PIN is not tried again (a second wrong PIN
// would bring the token closer to locking).
TEST_F(SessionRestore, AFailedLoginLeavesTheSessionsPublicAndForgetsThePin) {
    const CK_SESSION_HANDLE session = openSession(0);
    ASSERT_EQ(C_Login(session, CKU_USER, kPin, 6), CKR_OK);
    refuseLogin_ = CKR_PIN_INCORRECT;
    connectionEnds();
    testing::internal::CaptureStderr();
    EXPECT_EQ(drawRandom(session), CKR_OK);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("the login could not be restored"), std::string::npos) << err;
    EXPECT_NE(err.find("0xa0"), std::string::npos) << err;
    EXPECT_EQ(err.find("123456"), std::string::npos);
    EXPECT_FALSE(context_->logins().holds(0));

    connectionEnds();
    EXPECT_EQ(drawRandom(session), CKR_OK);
    EXPECT_TRUE(requestsOf(0, FunctionId::Login).empty());
}

// A session the device does not open again is gone for the application:
// its handle is refused before anything is sent; the others work.
TEST_F(SessionRestore, ASessionTheDeviceDoesNotOpenAgainIsGone) {
    const CK_SESSION_HANDLE kept = openSession(0);
    const CK_SESSION_HANDLE lost = openSession(0);
    connectionEnds();
    int opens = 0;
    devices_[0]->setResponder([&opens](const SeenRequest& seen) {
        if (seen.functionId() == id(FunctionId::OpenSession) && ++opens == 2) {
            return Reply::withRv(CKR_SESSION_COUNT);
        }
        return defaultAnswer(0, seen);
    });
    const CK_SESSION_HANDLE second = kept < lost ? lost : kept;
    const CK_SESSION_HANDLE first = kept < lost ? kept : lost;
    EXPECT_EQ(drawRandom(first), CKR_OK);
    EXPECT_EQ(drawRandom(second), CKR_SESSION_HANDLE_INVALID);
}

// A call whose connection turns out new while it waits to be sent is not
// sent with a session number of the old connection.
TEST_F(SessionRestore, ARequestBoundToAnEndedConnectionIsNotSent) {
    const CK_SESSION_HANDLE session = openSession(0);
    Request request = Request_init_zero;
    request.function_id = id(FunctionId::GenerateRandom);
    int32_t slot = -1;
    ASSERT_EQ(context_->bindSession(request, session, slot), CKR_OK);
    connectionEnds();
    Response response = Response_init_zero;
    EXPECT_EQ(context_->callFunction(slot, request, response, true), CKR_FUNCTION_FAILED);
    // The sessions came back; the call itself never reached the device.
    EXPECT_EQ(sent(), std::vector<uint32_t>{id(FunctionId::OpenSession)});
    EXPECT_EQ(drawRandom(session), CKR_OK);
}

// Closing sessions that only an ended connection held (C_CloseSession,
// C_CloseAllSessions, C_Finalize after a hand-over) does not connect again
// to open them only to close them.
TEST_F(SessionRestore, SessionsOfAnEndedConnectionCloseWithoutReconnecting) {
    const CK_SESSION_HANDLE one = openSession(0);
    const CK_SESSION_HANDLE two = openSession(0);
    ASSERT_EQ(C_Login(one, CKU_USER, kPin, 6), CKR_OK);
    connectionEnds();
    const int opens = devices_[0]->opens;
    EXPECT_EQ(C_CloseSession(one), CKR_OK);
    EXPECT_EQ(C_CloseAllSessions(0), CKR_OK);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(devices_[0]->opens, opens);
    EXPECT_FALSE(context_->logins().holds(0));
    EXPECT_EQ(C_GetSessionInfo(two, nullptr), CKR_ARGUMENTS_BAD);
    CK_SESSION_INFO info{};
    EXPECT_EQ(C_GetSessionInfo(two, &info), CKR_SESSION_HANDLE_INVALID);
}

#ifndef _WIN32
// The child of a fork does not inherit the parent's PIN: the context it
// inherited is set aside with its PINs zeroed.
TEST_F(SessionRestore, AForkedChildHoldsNoPin) {
    const CK_SESSION_HANDLE session = openSession(0);
    ASSERT_EQ(C_Login(session, CKU_USER, kPin, 6), CKR_OK);
    CContext* parentContext = context_.get();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool zeroed = true;
        parentContext->logins().withLogin(
            0, [&zeroed](CK_USER_TYPE, const uint8_t* pin, size_t length) {
                for (size_t i = 0; i < length; ++i) {
                    zeroed = zeroed && pin[i] == 0;
                }
            });
        std::_Exit(zeroed ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The parent keeps its own.
    EXPECT_TRUE(context_->logins().holds(0));
}

#endif

}  // namespace
}  // namespace vexa::test
