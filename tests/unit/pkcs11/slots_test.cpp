// Slots, tokens and mechanisms over in-memory devices.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "unit/pkcs11/module_fixture.h"
#include "unit/wide_ulong.h"

namespace vexa::test {
namespace {

using talvoranth::LOG_ERROR;
using talvoranth::LOG_WARN;

std::string text(const unsigned char* bytes, size_t size) {
    return std::string(reinterpret_cast<const char*>(bytes), size);
}

std::string padded(const std::string& value, size_t size) {
    return value + std::string(size - value.size(), ' ');
}

class Slots : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_EQ(initialize(), CKR_OK);
    }
};

TEST_F(Slots, SlotListFollowsTheSizeQueryConvention) {
    for (const CK_BBOOL tokenPresent : {CK_FALSE, CK_TRUE}) {
        CK_ULONG count = 0;
        EXPECT_EQ(C_GetSlotList(tokenPresent, nullptr, nullptr), CKR_ARGUMENTS_BAD);
        ASSERT_EQ(C_GetSlotList(tokenPresent, nullptr, &count), CKR_OK);
        EXPECT_EQ(count, 2u);

        CK_SLOT_ID slots[2] = {99, 99};
        count = 1;
        EXPECT_EQ(C_GetSlotList(tokenPresent, slots, &count), CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(count, 2u);
        EXPECT_EQ(slots[0], 99u);

        count = 2;
        ASSERT_EQ(C_GetSlotList(tokenPresent, slots, &count), CKR_OK);
        EXPECT_EQ(slots[0], 0u);
        EXPECT_EQ(slots[1], 1u);
    }
}

class SlotDescriptions : public ModuleTest {
protected:
    SlotDescriptions() : ModuleTest(4) {
        devices_[0]->product = "Vexa";
        devices_[1]->product = "Dorvik";
        devices_[2]->product = "Other";
        devices_[3]->kind = "TCP";
    }
};

TEST_F(SlotDescriptions, DependOnTransportKindAndProduct) {
    ASSERT_EQ(initialize(), CKR_OK);
    const char* expected[] = {"Vexa USB", "Dorvik USB", "Unknown", "Vexa"};
    for (CK_SLOT_ID slot = 0; slot < 4; ++slot) {
        CK_SLOT_INFO info;
        std::memset(&info, 0xEE, sizeof info);
        ASSERT_EQ(C_GetSlotInfo(slot, &info), CKR_OK);
        EXPECT_EQ(text(info.slotDescription, 64), padded(expected[slot], 64));
        EXPECT_EQ(text(info.manufacturerID, 32), padded("USB", 32));
        EXPECT_EQ(info.flags, CKF_TOKEN_PRESENT);
        EXPECT_EQ(info.hardwareVersion.major, 2);
        EXPECT_EQ(info.hardwareVersion.minor, 0);
        EXPECT_EQ(info.firmwareVersion.major, 0);
        EXPECT_EQ(info.firmwareVersion.minor, 0);
    }
    // Opening is how the slot is described: each transport opened once.
    EXPECT_EQ(devices_[0]->opens, 1);
}

TEST_F(Slots, SlotArgumentsAreChecked) {
    CK_SLOT_INFO info;
    EXPECT_EQ(C_GetSlotInfo(0, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GetSlotInfo(2, &info), CKR_SLOT_ID_INVALID);
    if (kHostUlongIsWide) {
        EXPECT_EQ(C_GetSlotInfo(wideUlong(32), &info), CKR_SLOT_ID_INVALID);
    }
    CK_TOKEN_INFO token;
    EXPECT_EQ(C_GetTokenInfo(7, &token), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(C_GetTokenInfo(0, nullptr), CKR_ARGUMENTS_BAD);
}

class UnreachableDevice : public Slots {
protected:
    UnreachableDevice() { devices_[1]->failOpens("Device not detected"); }
};

TEST_F(UnreachableDevice, IsASlotWithoutToken) {
    context_->clearLines();
    CK_SLOT_INFO info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(C_GetSlotInfo(1, &info), CKR_OK);
    EXPECT_EQ(info.flags, 0u);
    EXPECT_EQ(text(info.slotDescription, 64), padded("", 64));
    EXPECT_TRUE(context_->has(LOG_ERROR, "Device not detected"));

    CK_TOKEN_INFO token;
    EXPECT_EQ(C_GetTokenInfo(1, &token), CKR_TOKEN_NOT_PRESENT);
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    CK_UTF8CHAR pin[] = "12345678";
    EXPECT_EQ(C_InitToken(1, pin, 8, label), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(requestsOf(1, FunctionId::GetTokenInfo).empty());
    EXPECT_TRUE(requestsOf(1, FunctionId::InitToken).empty());
}

TEST_F(Slots, TokenInfoIsCopiedFromTheDevice) {
    CK_TOKEN_INFO info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(C_GetTokenInfo(1, &info), CKR_OK);
    const auto sent = requestsOf(1, FunctionId::GetTokenInfo);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_FALSE(sent[0].request.has_session);
    EXPECT_EQ(text(info.label, 32), padded("Memory Token", 32));
    EXPECT_EQ(text(info.manufacturerID, 32), padded("Talvoranth", 32));
    EXPECT_EQ(text(info.model, 16), padded("Vexa", 16));
    EXPECT_EQ(text(info.serialNumber, 16), padded("000000000001", 16));
    EXPECT_EQ(text(info.utcTime, 16), "2026121001020300");
    EXPECT_EQ(info.flags, CKF_RNG | CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED);
    EXPECT_EQ(info.ulMaxSessionCount, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(info.ulSessionCount, 1u);
    EXPECT_EQ(info.ulMaxRwSessionCount, 16u);
    EXPECT_EQ(info.ulMaxPinLen, 32u);
    EXPECT_EQ(info.ulMinPinLen, 4u);
    EXPECT_EQ(info.ulTotalPublicMemory, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(info.ulFreePublicMemory, 0u);
    EXPECT_EQ(info.hardwareVersion.major, 2);
    EXPECT_EQ(info.firmwareVersion.major, 1);
    EXPECT_EQ(info.firmwareVersion.minor, 6);
    EXPECT_TRUE(context_->has(talvoranth::LOG_TRACE, "C_GetSlotInfo"));
}

TEST_F(Slots, TokenInfoRefusedByTheDeviceReturnsItsCode) {
    devices_[0]->setResponder([](const SeenRequest&) { return Reply::withRv(CKR_DEVICE_ERROR); });
    CK_TOKEN_INFO info;
    EXPECT_EQ(C_GetTokenInfo(0, &info), CKR_DEVICE_ERROR);
    EXPECT_EQ(info.flags, 0u);
}

TEST_F(Slots, InitTokenSendsTheSoPinAndAlwaysThirtyTwoLabelBytes) {
    CK_UTF8CHAR pin[] = {'8', '7', '6', '5', '4', '3', '2', '1'};
    CK_UTF8CHAR label[40];
    std::memset(label, 'L', sizeof label);
    EXPECT_EQ(C_InitToken(0, pin, 0, label), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_InitToken(0, nullptr, 8, label), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_InitToken(0, pin, 8, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_InitToken(5, pin, 8, label), CKR_SLOT_ID_INVALID);
    EXPECT_TRUE(requestsOf(0, FunctionId::InitToken).empty());

    devices_[1]->setResponder([](const SeenRequest&) { return Reply::withRv(CKR_PIN_INCORRECT); });
    EXPECT_EQ(C_InitToken(1, pin, sizeof pin, label), CKR_PIN_INCORRECT);
    const auto sent = requestsOf(1, FunctionId::InitToken);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data, std::vector<uint8_t>(pin, pin + sizeof pin));
    EXPECT_EQ(sent[0].data2, std::vector<uint8_t>(32, 'L'));
    EXPECT_FALSE(sent[0].request.has_session);
}

TEST_F(Slots, MechanismListFollowsTheSizeQueryConvention) {
    CK_ULONG count = 0;
    EXPECT_EQ(C_GetMechanismList(2, nullptr, &count), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(C_GetMechanismList(0, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(C_GetMechanismList(0, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 58u);

    std::vector<CK_MECHANISM_TYPE> list(58, 0xDEAD);
    count = 57;
    EXPECT_EQ(C_GetMechanismList(0, list.data(), &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 58u);
    EXPECT_EQ(list[0], 0xDEADu);

    ASSERT_EQ(C_GetMechanismList(1, list.data(), &count), CKR_OK);
    EXPECT_EQ(list.front(), CKM_SHA_1);
    EXPECT_EQ(list[10], CKM_RSA_PKCS_KEY_PAIR_GEN);
    EXPECT_EQ(list.back(), CKM_ECDH1_DERIVE);
    // Every listed mechanism has information.
    for (CK_MECHANISM_TYPE type : list) {
        CK_MECHANISM_INFO info;
        EXPECT_EQ(C_GetMechanismInfo(0, type, &info), CKR_OK) << std::hex << type;
    }
}

class Mechanisms : public ModuleTest {
protected:
    Mechanisms() { devices_[1]->product = "Dorvik"; }
    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_EQ(initialize(), CKR_OK);
        // The product string is the opened device's: describe both slots.
        CK_SLOT_INFO info;
        ASSERT_EQ(C_GetSlotInfo(0, &info), CKR_OK);
        ASSERT_EQ(C_GetSlotInfo(1, &info), CKR_OK);
    }
};

TEST_F(Mechanisms, InformationTableRows) {
    struct Row {
        CK_SLOT_ID slot;
        CK_MECHANISM_TYPE type;
        CK_ULONG min;
        CK_ULONG max;
        CK_FLAGS flags;
    };
    const Row rows[] = {
        {0, CKM_RSA_PKCS_KEY_PAIR_GEN, 1024, 4096, 0x10001},
        {1, CKM_RSA_PKCS_KEY_PAIR_GEN, 1024, 2048, 0x10001},
        {1, CKM_RSA_PKCS, 1024, 4096, 0x62B01},
        {0, CKM_RSA_X_509, 1024, 4096, 0x2B01},
        {0, CKM_SHA224_RSA_PKCS_PSS, 1024, 4096, 0x2801},
        {0, CKM_RSA_PKCS_OAEP, 1024, 4096, 0x60301},
        {0, CKM_DH_PKCS_KEY_PAIR_GEN, 1024, 2048, 0x10001},
        {0, CKM_DSA_SHA512, 1024, 2048, 0x2801},
        {0, CKM_DH_PKCS_DERIVE, 1024, 2048, 0x80001},
        {0, CKM_DSA_PARAMETER_GEN, 1024, 2048, 0x8000},
        {0, CKM_DH_PKCS_PARAMETER_GEN, 1024, 2048, 0x8001},
        {0, CKM_DES2_KEY_GEN, 0, 0, 0x8001},
        {0, CKM_DES3_CBC_PAD, 0, 0, 0x301},
        {0, CKM_MD5, 0, 0, 0x401},
        {0, CKM_SHA512, 0, 0, 0x401},
        {0, CKM_MD5_HMAC, 16, 512, 0x2801},
        {0, CKM_SHA384_HMAC, 48, 512, 0x2801},
        {0, CKM_EC_KEY_PAIR_GEN, 192, 521, 0x1910001},
        {0, CKM_ECDSA, 192, 521, 0x1902801},
        {0, CKM_ECDH1_DERIVE, 192, 521, 0x80001},
        {0, CKM_AES_CTR, 16, 32, 0x301},
        {0, CKM_AES_CMAC, 16, 32, 0x2801},
        {0, CKM_DES_ECB_ENCRYPT_DATA, 0, 0, 0x80001},
        {0, CKM_AES_CBC_ENCRYPT_DATA, 0, 0, 0x80001},
        {0, CKM_AES_KEY_WRAP, 16, 0x80000000, 0x60001},
    };
    for (const Row& row : rows) {
        CK_MECHANISM_INFO info{};
        ASSERT_EQ(C_GetMechanismInfo(row.slot, row.type, &info), CKR_OK) << std::hex << row.type;
        EXPECT_EQ(info.ulMinKeySize, row.min) << std::hex << row.type;
        EXPECT_EQ(info.ulMaxKeySize, row.max) << std::hex << row.type;
        EXPECT_EQ(info.flags, row.flags) << std::hex << row.type;
    }
}

TEST_F(Mechanisms, UnknownTypeIsInvalidWithAWarning) {
    CK_MECHANISM_INFO info;
    std::memset(&info, 0xEE, sizeof info);
    EXPECT_EQ(C_GetMechanismInfo(0, CKM_AES_GCM, &info), CKR_MECHANISM_INVALID);
    EXPECT_TRUE(context_->has(LOG_WARN, "Mechanism not supported: 0x00001087"));
    EXPECT_EQ(info.flags, static_cast<CK_FLAGS>(0xEEEEEEEEEEEEEEEEull));
    EXPECT_EQ(C_GetMechanismInfo(0, CKM_SHA_1, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GetMechanismInfo(9, CKM_SHA_1, &info), CKR_SLOT_ID_INVALID);
}

}  // namespace
}  // namespace vexa::test
