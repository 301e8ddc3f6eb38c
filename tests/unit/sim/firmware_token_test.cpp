// The firmware's token functions, session rules, random numbers and
// dispatch: what a host sees through C_GetTokenInfo, C_OpenSession,
// C_GetSessionInfo, C_GenerateRandom and for requests it cannot serve.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "sim/firmware/codec.h"
#include "support/firmware_fixture.h"

namespace vexa::sim::test {
namespace {

std::string text(const uint8_t* bytes, size_t size) {
    return std::string(reinterpret_cast<const char*>(bytes), size);
}

class FirmwareTest : public ::testing::Test, public FirmwareFixture {};

TEST_F(FirmwareTest, TokenInfoDescribesAFreshToken) {
    const ::TokenInfo info = tokenInfo();
    EXPECT_EQ(text(info.label.bytes, info.label.size), "Vexa Token" + std::string(22, ' '));
    EXPECT_EQ(text(info.manufacturer_id.bytes, info.manufacturer_id.size),
              "Talvoranth" + std::string(22, ' '));
    EXPECT_EQ(text(info.model.bytes, info.model.size), "Dorvik" + std::string(10, ' '));
    EXPECT_EQ(text(info.serial_number.bytes, info.serial_number.size), "A1B2C3D4E5F6    ");
    EXPECT_EQ(info.flags, CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED |
                              CKF_TOKEN_INITIALIZED | CKF_CLOCK_ON_TOKEN);
    EXPECT_EQ(info.session_count, 0u);
    EXPECT_EQ(info.max_session_count, kMaxSessions);
    EXPECT_EQ(info.min_pin_len, 4u);
    EXPECT_EQ(info.max_pin_len, 32u);
    EXPECT_GT(info.total_public_memory, 0u);
    EXPECT_LE(info.free_public_memory, info.total_public_memory);
    EXPECT_EQ(info.utc_time.size, 16u);
}

TEST_F(FirmwareTest, TokenInfoCountsSessions) {
    openRo();
    openRw();
    openRw();
    const ::TokenInfo info = tokenInfo();
    EXPECT_EQ(info.session_count, 3u);
    EXPECT_EQ(info.rw_session_count, 2u);
}

TEST_F(FirmwareTest, TokenInfoReportsPinCounters) {
    const uint32_t s = openRw();
    login(s, CKU_USER, "bad-pin");
    EXPECT_EQ(tokenInfo().flags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY),
              CKF_USER_PIN_COUNT_LOW);
    login(s, CKU_USER, "bad-pin");
    EXPECT_TRUE(tokenInfo().flags & CKF_USER_PIN_FINAL_TRY);
    login(s, CKU_USER, "bad-pin");
    EXPECT_TRUE(tokenInfo().flags & CKF_USER_PIN_LOCKED);
    login(s, CKU_SO, "bad-pin");
    EXPECT_EQ(tokenInfo().flags & (CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_LOCKED), CKF_SO_PIN_COUNT_LOW);
}

TEST_F(FirmwareTest, InitTokenSetsTheLabelAndClearsTheUserPin) {
    ASSERT_EQ(initToken("12345678", "Fresh"), CKR_OK);
    const ::TokenInfo info = tokenInfo();
    EXPECT_EQ(text(info.label.bytes, info.label.size), "Fresh" + std::string(27, ' '));
    EXPECT_FALSE(info.flags & CKF_USER_PIN_INITIALIZED);
    EXPECT_TRUE(info.flags & CKF_TOKEN_INITIALIZED);
}

TEST_F(FirmwareTest, InitTokenWithoutItsFieldsIsRefused) {
    DeviceRequest r;
    r.functionId = id(F::InitToken);
    r.data = bytesOf("12345678");
    EXPECT_EQ(firmware.call(r).rv, CKR_ARGUMENTS_BAD);
}

TEST_F(FirmwareTest, ClockSettingDrivesUtcTime) {
    DeviceRequest r;
    r.functionId = id(F::SetDeviceClock);
    r.object = 946684800;  // 2000-01-01 00:00:00 UTC
    ASSERT_EQ(firmware.call(r).rv, CKR_OK);
    const ::TokenInfo info = tokenInfo();
    // The clock runs on; a loaded machine may take a few seconds.
    EXPECT_EQ(text(info.utc_time.bytes, 10), "2000010100");
    EXPECT_EQ(text(info.utc_time.bytes + 14, 2), "00");
    EXPECT_EQ(call(F::SetDeviceClock).rv, CKR_ARGUMENTS_BAD);  // no time given
}

TEST_F(FirmwareTest, OpenSessionRules) {
    uint32_t rv = 0;
    EXPECT_EQ(open(CKF_RW_SESSION, &rv), 0u);
    EXPECT_EQ(rv, CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    EXPECT_EQ(open(0, &rv), 0u);
    EXPECT_EQ(rv, CKR_SESSION_PARALLEL_NOT_SUPPORTED);

    std::set<uint32_t> handles;
    for (uint32_t i = 0; i < kMaxSessions; ++i) {
        const uint32_t h = openRo();
        ASSERT_NE(h, 0u);
        handles.insert(h);
    }
    EXPECT_EQ(handles.size(), kMaxSessions);
    EXPECT_EQ(open(CKF_SERIAL_SESSION, &rv), 0u);
    EXPECT_EQ(rv, CKR_SESSION_COUNT);
}

TEST_F(FirmwareTest, SessionHandlesAreNeverZeroNorReusedWhileOpen) {
    firmware.token().lastSessionHandle = 0xFFFFFFFE;
    const uint32_t a = openRo();
    const uint32_t b = openRo();
    const uint32_t c = openRo();
    EXPECT_EQ(a, 0xFFFFFFFFu);
    EXPECT_EQ(b, 1u);
    EXPECT_EQ(c, 2u);
    firmware.token().lastSessionHandle = 0;
    EXPECT_EQ(openRo(), 3u);  // 1 and 2 are taken
}

TEST_F(FirmwareTest, SessionInfoReportsFlags) {
    const uint32_t ro = openRo();
    const uint32_t rw = openRw();
    EXPECT_EQ(callSession(F::GetSessionInfo, ro).sessionInfo->flags, CKF_SERIAL_SESSION);
    EXPECT_EQ(callSession(F::GetSessionInfo, rw).sessionInfo->flags,
              CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_EQ(callSession(F::GetSessionInfo, rw).sessionInfo->device_error, 0u);
}

TEST_F(FirmwareTest, SessionFunctionsRefuseUnknownOrMissingHandles) {
    const uint32_t s = openRo();
    for (F function : {F::CloseSession, F::Login, F::GetSessionInfo, F::InitPIN, F::Logout,
                       F::SetPIN, F::GenerateRandom, F::SeedRandom}) {
        SCOPED_TRACE(id(function));
        EXPECT_EQ(callSession(function, s + 1).rv, CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(call(function).rv, CKR_SESSION_HANDLE_INVALID);
    }
}

TEST_F(FirmwareTest, GenerateRandomGivesFreshBytesUpToOnePiece) {
    const uint32_t s = openRo();
    DeviceRequest r;
    r.functionId = id(F::GenerateRandom);
    r.session = s;
    r.outCapacity = 1024;
    const DeviceResponse first = firmware.call(r);
    const DeviceResponse second = firmware.call(r);
    ASSERT_EQ(first.rv, CKR_OK);
    ASSERT_EQ(first.data->size(), 1024u);
    EXPECT_NE(*first.data, *second.data);

    r.outCapacity = 0;
    EXPECT_EQ(firmware.call(r).data->size(), 0u);
    r.outCapacity = 1025;
    EXPECT_EQ(firmware.call(r).rv, CKR_ARGUMENTS_BAD);
    r.outCapacity.reset();
    EXPECT_EQ(firmware.call(r).rv, CKR_ARGUMENTS_BAD);
}

TEST_F(FirmwareTest, SeedRandomTakesAnySeedButNotAnEmptyOne) {
    const uint32_t s = openRo();
    DeviceRequest r;
    r.functionId = id(F::SeedRandom);
    r.session = s;
    r.data = Bytes(5000, 0x5A);
    EXPECT_EQ(firmware.call(r).rv, CKR_OK);
    r.data = Bytes{};
    EXPECT_EQ(firmware.call(r).rv, CKR_ARGUMENTS_BAD);
    r.data.reset();
    EXPECT_EQ(firmware.call(r).rv, CKR_ARGUMENTS_BAD);
}

TEST_F(FirmwareTest, UnservedFunctionIdsAreNotSupported) {
    // Ids without a row in the call table: numbers, as a peer may send them.
    for (uint32_t unserved : {0u, 30u, 41u, 45u, 47u, 48u, 53u, 63u, 64u, 1000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(unserved);
        DeviceRequest r;
        r.functionId = unserved;
        EXPECT_EQ(call(r).rv, CKR_FUNCTION_NOT_SUPPORTED);
    }
}

// What goes over the wire: bytes in, bytes out.
TEST_F(FirmwareTest, ProcessAnswersUndecodableRequestsWithDeviceError) {
    const std::vector<Bytes> inputs = {
        {},                              // no function_id
        {0xFF, 0xFF, 0xFF},              // broken varint
        {0x08, 0x22, 0x22, 0x05, 0x01},  // data field longer than the message
        {0x08, 0x0B, 0x10},              // truncated session field
    };
    for (const Bytes& input : inputs) {
        const Bytes output = firmware.process(input.data(), input.size());
        std::optional<DeviceResponse> response = decodeResponse(output.data(), output.size());
        ASSERT_TRUE(response);
        EXPECT_EQ(response->rv, CKR_DEVICE_ERROR);
    }
}

TEST_F(FirmwareTest, ProcessAnswersAnEncodedTokenInfoRequest) {
    DeviceRequest r;
    r.functionId = id(F::GetTokenInfo);
    Bytes request;
    ASSERT_TRUE(encodeRequest(r, request));
    const Bytes output = firmware.process(request.data(), request.size());
    std::optional<DeviceResponse> response = decodeResponse(output.data(), output.size());
    ASSERT_TRUE(response);
    EXPECT_EQ(response->rv, CKR_OK);
    ASSERT_TRUE(response->tokenInfo);
    EXPECT_EQ(text(response->tokenInfo->serial_number.bytes, 12), "A1B2C3D4E5F6");
}

TEST_F(FirmwareTest, PinsAreNeverKeptInClear) {
    const Token& token = firmware.token();
    const Bytes user = bytesOf("123456");
    for (const PinRecord* record : {&token.userPin, &token.soPin}) {
        EXPECT_TRUE(record->set);
        EXPECT_EQ(record->hash.size(), 32u);
        EXPECT_EQ(std::search(record->hash.begin(), record->hash.end(), user.begin(), user.end()),
                  record->hash.end());
    }
    EXPECT_NE(token.userPin.salt, token.soPin.salt);
}

}  // namespace
}  // namespace vexa::sim::test
