// The function list and the functions that answer a fixed code.
#include <gtest/gtest.h>

#include <cstddef>

#include "unit/pkcs11/module_fixture.h"

namespace vexa::test {
namespace {

using FunctionList = ModuleTest;

TEST_F(FunctionList, IsVersion240WithEveryEntryTheExportOfItsNameBeforeInitialize) {
    CK_FUNCTION_LIST_PTR list = nullptr;
    ASSERT_EQ(C_GetFunctionList(&list), CKR_OK);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->version.major, 2);
    EXPECT_EQ(list->version.minor, 40);
    EXPECT_TRUE(context_->has(talvoranth::LOG_TRACE, "C_GetFunctionList"));

    // Entry by entry in the order of CK_FUNCTION_LIST.
    const std::pair<const char*, bool> entries[] = {
        {"C_Initialize", list->C_Initialize == &C_Initialize},
        {"C_Finalize", list->C_Finalize == &C_Finalize},
        {"C_GetInfo", list->C_GetInfo == &C_GetInfo},
        {"C_GetFunctionList", list->C_GetFunctionList == &C_GetFunctionList},
        {"C_GetSlotList", list->C_GetSlotList == &C_GetSlotList},
        {"C_GetSlotInfo", list->C_GetSlotInfo == &C_GetSlotInfo},
        {"C_GetTokenInfo", list->C_GetTokenInfo == &C_GetTokenInfo},
        {"C_GetMechanismList", list->C_GetMechanismList == &C_GetMechanismList},
        {"C_GetMechanismInfo", list->C_GetMechanismInfo == &C_GetMechanismInfo},
        {"C_InitToken", list->C_InitToken == &C_InitToken},
        {"C_InitPIN", list->C_InitPIN == &C_InitPIN},
        {"C_SetPIN", list->C_SetPIN == &C_SetPIN},
        {"C_OpenSession", list->C_OpenSession == &C_OpenSession},
        {"C_CloseSession", list->C_CloseSession == &C_CloseSession},
        {"C_CloseAllSessions", list->C_CloseAllSessions == &C_CloseAllSessions},
        {"C_GetSessionInfo", list->C_GetSessionInfo == &C_GetSessionInfo},
        {"C_GetOperationState", list->C_GetOperationState == &C_GetOperationState},
        {"C_SetOperationState", list->C_SetOperationState == &C_SetOperationState},
        {"C_Login", list->C_Login == &C_Login},
        {"C_Logout", list->C_Logout == &C_Logout},
        {"C_CreateObject", list->C_CreateObject == &C_CreateObject},
        {"C_CopyObject", list->C_CopyObject == &C_CopyObject},
        {"C_DestroyObject", list->C_DestroyObject == &C_DestroyObject},
        {"C_GetObjectSize", list->C_GetObjectSize == &C_GetObjectSize},
        {"C_GetAttributeValue", list->C_GetAttributeValue == &C_GetAttributeValue},
        {"C_SetAttributeValue", list->C_SetAttributeValue == &C_SetAttributeValue},
        {"C_FindObjectsInit", list->C_FindObjectsInit == &C_FindObjectsInit},
        {"C_FindObjects", list->C_FindObjects == &C_FindObjects},
        {"C_FindObjectsFinal", list->C_FindObjectsFinal == &C_FindObjectsFinal},
        {"C_EncryptInit", list->C_EncryptInit == &C_EncryptInit},
        {"C_Encrypt", list->C_Encrypt == &C_Encrypt},
        {"C_EncryptUpdate", list->C_EncryptUpdate == &C_EncryptUpdate},
        {"C_EncryptFinal", list->C_EncryptFinal == &C_EncryptFinal},
        {"C_DecryptInit", list->C_DecryptInit == &C_DecryptInit},
        {"C_Decrypt", list->C_Decrypt == &C_Decrypt},
        {"C_DecryptUpdate", list->C_DecryptUpdate == &C_DecryptUpdate},
        {"C_DecryptFinal", list->C_DecryptFinal == &C_DecryptFinal},
        {"C_DigestInit", list->C_DigestInit == &C_DigestInit},
        {"C_Digest", list->C_Digest == &C_Digest},
        {"C_DigestUpdate", list->C_DigestUpdate == &C_DigestUpdate},
        {"C_DigestKey", list->C_DigestKey == &C_DigestKey},
        {"C_DigestFinal", list->C_DigestFinal == &C_DigestFinal},
        {"C_SignInit", list->C_SignInit == &C_SignInit},
        {"C_Sign", list->C_Sign == &C_Sign},
        {"C_SignUpdate", list->C_SignUpdate == &C_SignUpdate},
        {"C_SignFinal", list->C_SignFinal == &C_SignFinal},
        {"C_SignRecoverInit", list->C_SignRecoverInit == &C_SignRecoverInit},
        {"C_SignRecover", list->C_SignRecover == &C_SignRecover},
        {"C_VerifyInit", list->C_VerifyInit == &C_VerifyInit},
        {"C_Verify", list->C_Verify == &C_Verify},
        {"C_VerifyUpdate", list->C_VerifyUpdate == &C_VerifyUpdate},
        {"C_VerifyFinal", list->C_VerifyFinal == &C_VerifyFinal},
        {"C_VerifyRecoverInit", list->C_VerifyRecoverInit == &C_VerifyRecoverInit},
        {"C_VerifyRecover", list->C_VerifyRecover == &C_VerifyRecover},
        {"C_DigestEncryptUpdate", list->C_DigestEncryptUpdate == &C_DigestEncryptUpdate},
        {"C_DecryptDigestUpdate", list->C_DecryptDigestUpdate == &C_DecryptDigestUpdate},
        {"C_SignEncryptUpdate", list->C_SignEncryptUpdate == &C_SignEncryptUpdate},
        {"C_DecryptVerifyUpdate", list->C_DecryptVerifyUpdate == &C_DecryptVerifyUpdate},
        {"C_GenerateKey", list->C_GenerateKey == &C_GenerateKey},
        {"C_GenerateKeyPair", list->C_GenerateKeyPair == &C_GenerateKeyPair},
        {"C_WrapKey", list->C_WrapKey == &C_WrapKey},
        {"C_UnwrapKey", list->C_UnwrapKey == &C_UnwrapKey},
        {"C_DeriveKey", list->C_DeriveKey == &C_DeriveKey},
        {"C_SeedRandom", list->C_SeedRandom == &C_SeedRandom},
        {"C_GenerateRandom", list->C_GenerateRandom == &C_GenerateRandom},
        {"C_GetFunctionStatus", list->C_GetFunctionStatus == &C_GetFunctionStatus},
        {"C_CancelFunction", list->C_CancelFunction == &C_CancelFunction},
        {"C_WaitForSlotEvent", list->C_WaitForSlotEvent == &C_WaitForSlotEvent},
    };
    EXPECT_EQ(std::size(entries), 68u);
    // The structure holds exactly the version and these 68 pointers.
    EXPECT_EQ(sizeof(CK_FUNCTION_LIST),
              offsetof(CK_FUNCTION_LIST, C_Initialize) + sizeof(void*) * 68);
    for (const auto& entry : entries) {
        EXPECT_TRUE(entry.second) << entry.first;
    }
}

TEST_F(FunctionList, NullDestinationIsRefused) {
    EXPECT_EQ(C_GetFunctionList(nullptr), CKR_ARGUMENTS_BAD);
}

TEST(FixedAnswers, NeedNoContextAndNoInitialization) {
    // No context is installed: these must not create one.
    CContext* previous = CContext::replaceInstance(nullptr);
    const std::pair<const char*, CK_RV> results[] = {
        {"C_GetFunctionStatus", C_GetFunctionStatus(1)},
        {"C_CancelFunction", C_CancelFunction(1)},
        {"C_GetOperationState", C_GetOperationState(1, nullptr, nullptr)},
        {"C_SetOperationState", C_SetOperationState(1, nullptr, 0, 0, 0)},
        {"C_SignRecoverInit", C_SignRecoverInit(1, nullptr, 0)},
        {"C_SignRecover", C_SignRecover(1, nullptr, 0, nullptr, nullptr)},
        {"C_VerifyRecoverInit", C_VerifyRecoverInit(1, nullptr, 0)},
        {"C_VerifyRecover", C_VerifyRecover(1, nullptr, 0, nullptr, nullptr)},
        {"C_DigestEncryptUpdate", C_DigestEncryptUpdate(1, nullptr, 0, nullptr, nullptr)},
        {"C_DecryptDigestUpdate", C_DecryptDigestUpdate(1, nullptr, 0, nullptr, nullptr)},
        {"C_SignEncryptUpdate", C_SignEncryptUpdate(1, nullptr, 0, nullptr, nullptr)},
        {"C_DecryptVerifyUpdate", C_DecryptVerifyUpdate(1, nullptr, 0, nullptr, nullptr)},
    };
    EXPECT_EQ(CContext::existingInstance(), nullptr);
    CContext::replaceInstance(previous);
    for (size_t i = 0; i < std::size(results); ++i) {
        EXPECT_EQ(results[i].second, i < 2 ? CKR_FUNCTION_NOT_PARALLEL : CKR_FUNCTION_NOT_SUPPORTED)
            << results[i].first;
    }
}

}  // namespace
}  // namespace vexa::test
