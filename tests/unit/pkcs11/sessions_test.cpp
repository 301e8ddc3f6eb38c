// Sessions and login over in-memory devices: routing by session, the
// session map, and every local check.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "unit/pkcs11/module_fixture.h"
#include "unit/wide_ulong.h"

namespace vexa::test {
namespace {

class Sessions : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_EQ(initialize(), CKR_OK);
        for (auto& device : devices_) {
            device->clearRequests();
        }
    }
    size_t deviceRequests() const {
        return devices_[0]->requests().size() + devices_[1]->requests().size();
    }
};

TEST_F(Sessions, LocalChecksAnswerBeforeAnythingIsSent) {
    CK_SESSION_HANDLE handle = 0;
    CK_SESSION_INFO info;
    CK_UTF8CHAR pin[] = "123456";
    const std::pair<const char*, std::pair<CK_RV, CK_RV>> cases[] = {
        {"open without serial flag",
         {C_OpenSession(0, CKF_RW_SESSION, nullptr, nullptr, &handle),
          CKR_SESSION_PARALLEL_NOT_SUPPORTED}},
        {"open without handle pointer",
         {C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD}},
        {"open on a slot that does not exist",
         {C_OpenSession(5, CKF_SERIAL_SESSION, nullptr, nullptr, &handle), CKR_SLOT_ID_INVALID}},
        {"close a handle never opened", {C_CloseSession(0x999), CKR_SESSION_HANDLE_INVALID}},
        {"close all on a slot that does not exist", {C_CloseAllSessions(2), CKR_SLOT_ID_INVALID}},
        {"session info of handle 0", {C_GetSessionInfo(0, &info), CKR_SESSION_HANDLE_INVALID}},
        {"session info without destination", {C_GetSessionInfo(0x999, nullptr), CKR_ARGUMENTS_BAD}},
        {"session info of unknown handle",
         {C_GetSessionInfo(0x999, &info), CKR_SESSION_HANDLE_INVALID}},
        {"login without PIN", {C_Login(0x999, CKU_USER, nullptr, 6), CKR_ARGUMENTS_BAD}},
        {"login on unknown handle", {C_Login(0x999, CKU_USER, pin, 6), CKR_SESSION_HANDLE_INVALID}},
        {"logout on unknown handle", {C_Logout(0x999), CKR_SESSION_HANDLE_INVALID}},
        {"init PIN without PIN but a length", {C_InitPIN(0x999, nullptr, 4), CKR_ARGUMENTS_BAD}},
        {"set PIN without old PIN", {C_SetPIN(0x999, nullptr, 0, pin, 6), CKR_ARGUMENTS_BAD}},
        {"set PIN without new PIN", {C_SetPIN(0x999, pin, 6, nullptr, 0), CKR_ARGUMENTS_BAD}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second.first, c.second.second) << c.first;
    }
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(deviceRequests(), 0u);
}

TEST_F(Sessions, OpenSessionPassesFlagsAndRoutesLaterCallsToItsSlot) {
    CK_SESSION_HANDLE handle = 0;
    ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &handle),
              CKR_OK);
    const auto opened = requestsOf(1, FunctionId::OpenSession);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].request.value, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_FALSE(opened[0].request.has_session);

    CK_UTF8CHAR pin[] = {'1', '2', '3', '4', '5', '6'};
    devices_[1]->setResponder([](const SeenRequest&) { return Reply::withRv(CKR_PIN_INCORRECT); });
    EXPECT_EQ(C_Login(handle, CKU_SO, pin, sizeof pin), CKR_PIN_INCORRECT);
    const auto login = requestsOf(1, FunctionId::Login);
    ASSERT_EQ(login.size(), 1u);
    EXPECT_TRUE(login[0].request.has_session);
    EXPECT_EQ(login[0].request.session, handle);
    EXPECT_EQ(login[0].request.value, CKU_SO);
    EXPECT_EQ(login[0].data, std::vector<uint8_t>(pin, pin + sizeof pin));
    EXPECT_TRUE(devices_[0]->requests().empty());
}

TEST_F(Sessions, DevicesThatNumberTheirSessionsAlikeKeepThemApart) {
    for (auto& device : devices_) {
        device->setResponder([](const SeenRequest& seen) {
            Reply reply = Reply::withRv(CKR_OK);
            if (seen.functionId() == id(FunctionId::OpenSession)) {
                reply.response.has_handle = true;
                reply.response.handle = 5;
            }
            return reply;
        });
    }
    const CK_SESSION_HANDLE first = openSession(0);
    const CK_SESSION_HANDLE second = openSession(1);
    EXPECT_EQ(first, 5u);  // the device's own number while it is free
    EXPECT_NE(second, first);
    EXPECT_LE(second, 0xFFFFFFFFu);

    CK_SESSION_INFO info;
    ASSERT_EQ(C_GetSessionInfo(second, &info), CKR_OK);
    EXPECT_EQ(info.slotID, 1u);
    ASSERT_EQ(C_Logout(second), CKR_OK);
    ASSERT_EQ(C_Logout(first), CKR_OK);
    const auto logout1 = requestsOf(1, FunctionId::Logout);
    ASSERT_EQ(logout1.size(), 1u);
    EXPECT_EQ(logout1[0].request.session, 5u);  // the device's number for it
    EXPECT_EQ(requestsOf(0, FunctionId::Logout).size(), 1u);

    // A device that reuses a number of its own ended session gets it back.
    EXPECT_EQ(C_CloseAllSessions(0), CKR_OK);
    EXPECT_EQ(openSession(0), first);
    EXPECT_EQ(context_->sessions().size(), 2u);
}

TEST_F(Sessions, OpenWithoutHandleInTheReplyLeavesTheCallersVariableAndMap) {
    devices_[0]->setResponder(
        [](const SeenRequest&) { return Reply::withRv(CKR_TOKEN_NOT_PRESENT); });
    CK_SESSION_HANDLE handle = 0x4242;
    EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &handle),
              CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(handle, 0x4242u);
    EXPECT_EQ(context_->sessions().size(), 0u);
}

TEST_F(Sessions, CloseForgetsTheHandleEvenWhenTheExchangeFails) {
    const CK_SESSION_HANDLE first = openSession(0);
    const CK_SESSION_HANDLE second = openSession(0);
    EXPECT_EQ(C_CloseSession(first), CKR_OK);
    EXPECT_EQ(C_CloseSession(first), CKR_SESSION_HANDLE_INVALID);

    devices_[0]->setResponder([](const SeenRequest&) { return Reply::noReply(); });
    EXPECT_EQ(C_CloseSession(second), CKR_FUNCTION_FAILED);
    EXPECT_EQ(C_Logout(second), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(requestsOf(0, FunctionId::CloseSession).size(), 2u);
    EXPECT_EQ(requestsOf(0, FunctionId::Logout).size(), 0u);
}

// Other applications may have sessions on the same token: only this
// application's own are closed, each with its own C_CloseSession, and the
// device's C_CloseAllSessions (which would end everybody's) is never sent.
TEST_F(Sessions, CloseAllClosesThisApplicationsSessionsOfTheSlotOneByOne) {
    const CK_SESSION_HANDLE first = openSession(1);
    const CK_SESSION_HANDLE second = openSession(1);
    const CK_SESSION_HANDLE other = openSession(0);
    EXPECT_EQ(C_CloseAllSessions(1), CKR_OK);

    const auto closed = requestsOf(1, FunctionId::CloseSession);
    ASSERT_EQ(closed.size(), 2u);
    EXPECT_EQ(std::set<uint32_t>({closed[0].request.session, closed[1].request.session}),
              std::set<uint32_t>({static_cast<uint32_t>(first), static_cast<uint32_t>(second)}));
    EXPECT_EQ(requestsOf(1, FunctionId::CloseAllSessions).size(), 0u);
    EXPECT_EQ(C_Logout(first), CKR_SESSION_HANDLE_INVALID);  // forgotten
    EXPECT_EQ(C_Logout(other), CKR_OK);                      // another slot's stays
    EXPECT_EQ(requestsOf(0, FunctionId::CloseSession).size(), 0u);

    // A session the device no longer knows is closed all the same; a device
    // that cannot be reached is reported.
    const CK_SESSION_HANDLE stale = openSession(1);
    devices_[1]->setResponder(
        [](const SeenRequest&) { return Reply::withRv(CKR_SESSION_HANDLE_INVALID); });
    EXPECT_EQ(C_CloseAllSessions(1), CKR_OK);
    EXPECT_EQ(C_Logout(stale), CKR_SESSION_HANDLE_INVALID);
    devices_[0]->setResponder([](const SeenRequest&) { return Reply::noReply(); });
    EXPECT_EQ(C_CloseAllSessions(0), CKR_FUNCTION_FAILED);
    EXPECT_EQ(C_Logout(other), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(Sessions, SessionInfoComesFromTheDeviceWithTheSlotFromTheMap) {
    const CK_SESSION_HANDLE handle = openSession(1);
    CK_SESSION_INFO info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(C_GetSessionInfo(handle, &info), CKR_OK);
    EXPECT_EQ(info.slotID, 1u);
    EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(info.flags, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_EQ(info.ulDeviceError, 7u);

    // A reply without session information: the preset values stay.
    devices_[1]->setResponder([](const SeenRequest&) { return Reply::withRv(CKR_DEVICE_ERROR); });
    std::memset(&info, 0xEE, sizeof info);
    EXPECT_EQ(C_GetSessionInfo(handle, &info), CKR_DEVICE_ERROR);
    EXPECT_EQ(info.slotID, 1u);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(info.flags, CKF_SERIAL_SESSION);
    EXPECT_EQ(info.ulDeviceError, 0u);
}

TEST_F(Sessions, PinFunctionsSendThePinBytesAsGiven) {
    const CK_SESSION_HANDLE handle = openSession(0);
    CK_UTF8CHAR oldPin[] = {'1', '2', '3', '4'};
    CK_UTF8CHAR newPin[] = {'9', '8', '7', '6', '5'};
    EXPECT_EQ(C_InitPIN(handle, nullptr, 0), CKR_OK);
    EXPECT_EQ(C_SetPIN(handle, oldPin, sizeof oldPin, newPin, sizeof newPin), CKR_OK);
    EXPECT_EQ(C_Login(handle, CKU_USER, oldPin, 0), CKR_OK);

    const auto init = requestsOf(0, FunctionId::InitPIN);
    ASSERT_EQ(init.size(), 1u);
    ASSERT_TRUE(init[0].data.has_value());
    EXPECT_TRUE(init[0].data->empty());
    const auto set = requestsOf(0, FunctionId::SetPIN);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].data, std::vector<uint8_t>(oldPin, oldPin + 4));
    EXPECT_EQ(set[0].data2, std::vector<uint8_t>(newPin, newPin + 5));
    const auto login = requestsOf(0, FunctionId::Login);
    ASSERT_EQ(login.size(), 1u);
    ASSERT_TRUE(login[0].data.has_value());
    EXPECT_TRUE(login[0].data->empty());
}

TEST_F(Sessions, ValuesBeyondThirtyTwoBitsAreRefusedBeforeSending) {
    VEXA_SKIP_UNLESS_WIDE_ULONG();
    CK_SESSION_HANDLE wideHandle = 0;
    EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION | wideUlong(40), nullptr, nullptr, &wideHandle),
              CKR_ARGUMENTS_BAD);
    EXPECT_EQ(wideHandle, 0u);
    EXPECT_TRUE(requestsOf(0, FunctionId::OpenSession).empty());
    const CK_SESSION_HANDLE handle = openSession(0);
    CK_UTF8CHAR pin[] = "1234";
    EXPECT_EQ(C_Login(handle, wideUlong(32) | 1, pin, 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Login(handle | wideUlong(32), CKU_USER, pin, 4), CKR_SESSION_HANDLE_INVALID);
    EXPECT_TRUE(requestsOf(0, FunctionId::Login).empty());
}

TEST_F(Sessions, PinLongerThanTheExchangeBufferIsDataLenRange) {
    const CK_SESSION_HANDLE handle = openSession(0);
    std::vector<CK_UTF8CHAR> pin(3000, '1');
    EXPECT_EQ(C_Login(handle, CKU_USER, pin.data(), pin.size()), CKR_DATA_LEN_RANGE);
    EXPECT_TRUE(context_->has(talvoranth::LOG_ERROR, "stream full"));
    EXPECT_TRUE(requestsOf(0, FunctionId::Login).empty());
}

TEST_F(Sessions, NoPinReachesTheLog) {
    const CK_SESSION_HANDLE handle = openSession(0);
    CK_UTF8CHAR pin[] = "S3cr3tPin";
    CK_UTF8CHAR newPin[] = "N3wS3cr3t";
    C_Login(handle, CKU_USER, pin, 9);
    C_SetPIN(handle, pin, 9, newPin, 9);
    C_InitPIN(handle, newPin, 9);
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    std::memcpy(label, newPin, 9);
    C_InitToken(0, pin, 9, label);
    for (const auto& line : context_->lines()) {
        EXPECT_EQ(line.second.find("S3cr3t"), std::string::npos) << line.second;
    }
}

}  // namespace
}  // namespace vexa::test
