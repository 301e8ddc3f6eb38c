// The firmware's session and login state machine, driven through scripts:
// each scenario is a sequence of calls with the CK_RV (or CKS_ state) each
// must give. Sessions are named by the order in which they were opened.
#include <gtest/gtest.h>

#include <vector>

#include "support/firmware_fixture.h"

namespace vexa::sim::test {
namespace {

enum class Op { OpenRo, OpenRw, Close, CloseAll, Login, Logout, InitPin, SetPin, InitToken, State };

struct Step {
    Op op;
    int session;  // index of an opened session (ignored by OpenRo/OpenRw/CloseAll/InitToken)
    uint32_t expect;
    uint32_t userType = CKU_USER;
    const char* pin = "";
    const char* pin2 = "";
};

struct Scenario {
    const char* name;
    std::vector<Step> steps;
};

constexpr const char* kUser = "123456";
constexpr const char* kSo = "12345678";

Step openRo(uint32_t rv = CKR_OK) {
    return {Op::OpenRo, 0, rv};
}
Step openRw(uint32_t rv = CKR_OK) {
    return {Op::OpenRw, 0, rv};
}
Step loginUser(int s, const char* pin, uint32_t rv) {
    return {Op::Login, s, rv, CKU_USER, pin};
}
Step loginSo(int s, const char* pin, uint32_t rv) {
    return {Op::Login, s, rv, CKU_SO, pin};
}
Step loginAs(int s, uint32_t type, const char* pin, uint32_t rv) {
    return {Op::Login, s, rv, type, pin};
}
Step logout(int s, uint32_t rv) {
    return {Op::Logout, s, rv};
}
Step state(int s, uint32_t cks) {
    return {Op::State, s, cks};
}
Step closeSession(int s, uint32_t rv = CKR_OK) {
    return {Op::Close, s, rv};
}
Step initPin(int s, const char* pin, uint32_t rv) {
    return {Op::InitPin, s, rv, 0, pin};
}
Step setPin(int s, const char* oldPin, const char* newPin, uint32_t rv) {
    return {Op::SetPin, s, rv, 0, oldPin, newPin};
}

const Scenario kScenarios[] = {
    {"UserLoginMovesEverySessionToUserStates",
     {openRo(), openRw(), state(0, CKS_RO_PUBLIC_SESSION), state(1, CKS_RW_PUBLIC_SESSION),
      loginUser(0, kUser, CKR_OK), state(0, CKS_RO_USER_FUNCTIONS),
      state(1, CKS_RW_USER_FUNCTIONS)}},
    {"UserLoginTwiceIsAlreadyLoggedInFromAnySession",
     {openRo(), openRo(), loginUser(0, kUser, CKR_OK),
      loginUser(1, kUser, CKR_USER_ALREADY_LOGGED_IN)}},
    {"SoLoginRefusedWhileAReadOnlySessionExists",
     {openRw(), openRo(), loginSo(0, kSo, CKR_SESSION_READ_ONLY_EXISTS),
      state(0, CKS_RW_PUBLIC_SESSION)}},
    {"SoLoggedInBlocksUserAndReadOnlySessions",
     {openRw(), loginSo(0, kSo, CKR_OK), state(0, CKS_RW_SO_FUNCTIONS),
      loginUser(0, kUser, CKR_USER_ANOTHER_ALREADY_LOGGED_IN),
      loginSo(0, kSo, CKR_USER_ALREADY_LOGGED_IN), openRo(CKR_SESSION_READ_WRITE_SO_EXISTS),
      openRw(), state(1, CKS_RW_SO_FUNCTIONS)}},
    {"UserLoggedInBlocksSo",
     {openRw(), loginUser(0, kUser, CKR_OK), loginSo(0, kSo, CKR_USER_ANOTHER_ALREADY_LOGGED_IN)}},
    {"WrongPinsLockThePinEvenForTheRightOne",
     {openRo(), loginUser(0, "000000", CKR_PIN_INCORRECT),
      loginUser(0, "000000", CKR_PIN_INCORRECT), loginUser(0, "000000", CKR_PIN_INCORRECT),
      loginUser(0, kUser, CKR_PIN_LOCKED), state(0, CKS_RO_PUBLIC_SESSION)}},
    {"ARightPinResetsTheFailureCount",
     {openRo(), loginUser(0, "000000", CKR_PIN_INCORRECT),
      loginUser(0, "000000", CKR_PIN_INCORRECT), loginUser(0, kUser, CKR_OK), logout(0, CKR_OK),
      loginUser(0, "000000", CKR_PIN_INCORRECT), loginUser(0, "000000", CKR_PIN_INCORRECT),
      loginUser(0, kUser, CKR_OK)}},
    {"EmptyPinIsIncorrect", {openRo(), loginUser(0, "", CKR_PIN_INCORRECT)}},
    {"LockedUserPinIsResetByInitPin",
     {openRw(), loginUser(0, "x", CKR_PIN_INCORRECT), loginUser(0, "x", CKR_PIN_INCORRECT),
      loginUser(0, "x", CKR_PIN_INCORRECT), loginSo(0, kSo, CKR_OK), initPin(0, "654321", CKR_OK),
      logout(0, CKR_OK), loginUser(0, "654321", CKR_OK)}},
    {"LogoutWhenNobodyIsLoggedIn", {openRo(), logout(0, CKR_USER_NOT_LOGGED_IN)}},
    {"LogoutFromAnotherSessionLogsEveryoneOut",
     {openRo(), openRo(), loginUser(0, kUser, CKR_OK), logout(1, CKR_OK),
      state(0, CKS_RO_PUBLIC_SESSION), logout(0, CKR_USER_NOT_LOGGED_IN)}},
    {"ClosingTheLastSessionLogsOut",
     {openRo(), loginUser(0, kUser, CKR_OK), closeSession(0), openRo(),
      state(1, CKS_RO_PUBLIC_SESSION)}},
    {"ClosingOneOfTwoSessionsKeepsTheLogin",
     {openRo(), openRo(), loginUser(0, kUser, CKR_OK), closeSession(0),
      state(1, CKS_RO_USER_FUNCTIONS), state(0, 0x80000000u | CKR_SESSION_HANDLE_INVALID),
      closeSession(0, CKR_SESSION_HANDLE_INVALID)}},
    {"CloseAllSessionsLogsOut",
     {openRw(),
      loginSo(0, kSo, CKR_OK),
      {Op::CloseAll, 0, CKR_OK},
      openRo(),
      state(1, CKS_RO_PUBLIC_SESSION)}},
    {"ContextSpecificNeedsAUserLogin",
     {openRo(), loginAs(0, CKU_CONTEXT_SPECIFIC, kUser, CKR_USER_NOT_LOGGED_IN),
      loginUser(0, kUser, CKR_OK), loginAs(0, CKU_CONTEXT_SPECIFIC, "000000", CKR_PIN_INCORRECT),
      loginAs(0, CKU_CONTEXT_SPECIFIC, kUser, CKR_OK), state(0, CKS_RO_USER_FUNCTIONS)}},
    {"UnknownUserType", {openRo(), loginAs(0, 7, kUser, CKR_USER_TYPE_INVALID)}},
    {"InitPinNeedsTheSo",
     {openRw(), initPin(0, "654321", CKR_USER_NOT_LOGGED_IN), loginUser(0, kUser, CKR_OK),
      initPin(0, "654321", CKR_USER_NOT_LOGGED_IN)}},
    {"InitPinChecksTheLength",
     {openRw(), loginSo(0, kSo, CKR_OK), initPin(0, "123", CKR_PIN_LEN_RANGE),
      initPin(0, "123456789012345678901234567890123", CKR_PIN_LEN_RANGE),
      initPin(0, "1234", CKR_OK), logout(0, CKR_OK), loginUser(0, "1234", CKR_OK)}},
    {"SetPinNeedsAReadWriteSession",
     {openRo(), loginUser(0, kUser, CKR_OK), setPin(0, kUser, "654321", CKR_SESSION_READ_ONLY)}},
    {"SetPinChangesTheUserPinWithoutALogin",
     {openRw(), setPin(0, "000000", "654321", CKR_PIN_INCORRECT),
      setPin(0, kUser, "12", CKR_PIN_LEN_RANGE), setPin(0, kUser, "654321", CKR_OK),
      loginUser(0, kUser, CKR_PIN_INCORRECT), loginUser(0, "654321", CKR_OK)}},
    {"SetPinChangesTheSoPinWhenTheSoIsLoggedIn",
     {openRw(), loginSo(0, kSo, CKR_OK), setPin(0, kSo, "87654321", CKR_OK), logout(0, CKR_OK),
      loginUser(0, kUser, CKR_OK), logout(0, CKR_OK), loginSo(0, "87654321", CKR_OK)}},
    {"InitTokenNeedsNoOpenSessionAndTheSoPin",
     {openRo(),
      {Op::InitToken, 0, CKR_SESSION_EXISTS, 0, kSo, "New label"},
      closeSession(0),
      {Op::InitToken, 0, CKR_PIN_INCORRECT, 0, "00000000", "New label"},
      {Op::InitToken, 0, CKR_OK, 0, kSo, "New label"},
      openRo(),
      loginUser(1, kUser, CKR_USER_PIN_NOT_INITIALIZED),
      closeSession(1),
      openRw(),
      loginSo(2, kSo, CKR_OK),
      initPin(2, "111111", CKR_OK),
      logout(2, CKR_OK),
      loginUser(2, "111111", CKR_OK)}},
};

class LoginStateMachine : public ::testing::TestWithParam<Scenario>, public FirmwareFixture {};

TEST_P(LoginStateMachine, FollowsPkcs11Rules) {
    std::vector<uint32_t> sessions;
    int stepNumber = 0;
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE("step " + std::to_string(stepNumber++));
        const uint32_t handle = step.session < static_cast<int>(sessions.size())
                                    ? sessions[static_cast<size_t>(step.session)]
                                    : 0;
        uint32_t got = 0;
        switch (step.op) {
            case Op::OpenRo:
            case Op::OpenRw: {
                const uint32_t flags = step.op == Op::OpenRo ? CKF_SERIAL_SESSION
                                                             : CKF_SERIAL_SESSION | CKF_RW_SESSION;
                const uint32_t h = open(flags, &got);
                if (h != 0) {
                    sessions.push_back(h);
                }
                break;
            }
            case Op::Close:
                got = callSession(F::CloseSession, handle).rv;
                break;
            case Op::CloseAll:
                got = call(F::CloseAllSessions).rv;
                break;
            case Op::Login:
                got = login(handle, step.userType, step.pin);
                break;
            case Op::Logout:
                got = callSession(F::Logout, handle).rv;
                break;
            case Op::InitPin:
                got = initPin(handle, step.pin);
                break;
            case Op::SetPin:
                got = setPin(handle, step.pin, step.pin2);
                break;
            case Op::InitToken:
                got = initToken(step.pin, step.pin2);
                break;
            case Op::State:
                got = state(handle);
                break;
        }
        EXPECT_EQ(got, step.expect);
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, LoginStateMachine, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vexa::sim::test
