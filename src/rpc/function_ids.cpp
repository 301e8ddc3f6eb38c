#include "rpc/function_ids.h"

#include <iterator>

namespace vexa::rpc {
namespace {

constexpr Routing S = Routing::BySession;
constexpr Routing L = Routing::BySlot;

constexpr FunctionInfo kFunctions[] = {
    {FunctionId::GenerateKey, "C_GenerateKey", S, true},
    {FunctionId::EncryptInit, "C_EncryptInit", S, true},
    {FunctionId::Encrypt, "C_Encrypt", S, false},
    {FunctionId::DecryptInit, "C_DecryptInit", S, true},
    {FunctionId::Decrypt, "C_Decrypt", S, false},
    {FunctionId::EncryptUpdate, "C_EncryptUpdate", S, false},
    {FunctionId::DecryptUpdate, "C_DecryptUpdate", S, false},
    {FunctionId::EncryptFinal, "C_EncryptFinal", S, false},
    {FunctionId::DecryptFinal, "C_DecryptFinal", S, false},
    {FunctionId::InitToken, "C_InitToken", L, true},
    {FunctionId::OpenSession, "C_OpenSession", L, true},
    {FunctionId::CloseSession, "C_CloseSession", S, true},
    {FunctionId::Login, "C_Login", S, true},
    {FunctionId::CloseAllSessions, "C_CloseAllSessions", L, true},
    {FunctionId::GenerateKeyPair, "C_GenerateKeyPair", S, true},
    {FunctionId::GetAttributeValue, "C_GetAttributeValue", S, false},
    {FunctionId::GetSessionInfo, "C_GetSessionInfo", S, true},
    {FunctionId::InitPIN, "C_InitPIN", S, true},
    {FunctionId::Logout, "C_Logout", S, true},
    {FunctionId::SetPIN, "C_SetPIN", S, true},
    {FunctionId::SignInit, "C_SignInit", S, true},
    {FunctionId::Sign, "C_Sign", S, false},
    {FunctionId::VerifyInit, "C_VerifyInit", S, true},
    {FunctionId::Verify, "C_Verify", S, true},
    {FunctionId::SignUpdate, "C_SignUpdate", S, true},
    {FunctionId::VerifyUpdate, "C_VerifyUpdate", S, true},
    {FunctionId::SignFinal, "C_SignFinal", S, false},
    {FunctionId::VerifyFinal, "C_VerifyFinal", S, true},
    {FunctionId::DigestInit, "C_DigestInit", S, true},
    {FunctionId::DigestUpdate, "C_DigestUpdate", S, true},
    {FunctionId::DigestFinal, "C_DigestFinal", S, false},
    {FunctionId::FindObjectsInit, "C_FindObjectsInit", S, true},
    {FunctionId::GetTokenInfo, "C_GetTokenInfo", L, true},
    {FunctionId::CreateObject, "C_CreateObject", S, true},
    {FunctionId::SetAttributeValue, "C_SetAttributeValue", S, true},
    {FunctionId::FindObjects, "C_FindObjects", S, false},
    {FunctionId::FindObjectsFinal, "C_FindObjectsFinal", S, true},
    {FunctionId::DestroyObject, "C_DestroyObject", S, true},
    {FunctionId::CopyObject, "C_CopyObject", S, true},
    {FunctionId::GenerateRandom, "C_GenerateRandom", S, false},
    {FunctionId::WrapKey, "C_WrapKey", S, false},
    {FunctionId::UnwrapKey, "C_UnwrapKey", S, false},
    {FunctionId::SetDeviceClock, "set device clock", L, true},
    {FunctionId::DeriveKey, "C_DeriveKey", S, false},
    {FunctionId::DigestKey, "C_DigestKey", S, true},
    {FunctionId::SeedRandom, "C_SeedRandom", S, true},
    {FunctionId::GetObjectSize, "C_GetObjectSize", S, true},
};

}  // namespace

const FunctionInfo* functionTable(std::size_t* count) {
    *count = std::size(kFunctions);
    return kFunctions;
}

const FunctionInfo* findFunction(uint32_t id) {
    for (const FunctionInfo& info : kFunctions) {
        if (static_cast<uint32_t>(info.id) == id) {
            return &info;
        }
    }
    return nullptr;
}

}  // namespace vexa::rpc
