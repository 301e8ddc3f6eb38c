// The call table of the remote-call protocol: one row per function id (the
// value of Request.function_id), with everything each side needs to know
// about the call. The module's exports take their TRACE names and routing
// from it, the virtual device keys its handlers by it, and a test holds both
// sides to it. Adding a call is one row here plus its module and device
// handlers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rpc/request_fields.h"

namespace vexa::rpc {

enum class FunctionId : uint32_t {
    GenerateKey = 1,
    EncryptInit = 2,
    Encrypt = 3,
    DecryptInit = 4,
    Decrypt = 5,
    EncryptUpdate = 6,
    DecryptUpdate = 7,
    EncryptFinal = 8,
    DecryptFinal = 9,
    InitToken = 10,
    OpenSession = 11,
    CloseSession = 12,
    Login = 13,
    CloseAllSessions = 14,
    GenerateKeyPair = 15,
    GetAttributeValue = 16,
    GetSessionInfo = 17,
    InitPIN = 18,
    Logout = 19,
    SetPIN = 20,
    SignInit = 21,
    Sign = 22,
    VerifyInit = 23,
    Verify = 24,
    SignUpdate = 25,
    VerifyUpdate = 26,
    SignFinal = 27,
    VerifyFinal = 28,
    DigestInit = 29,
    DigestUpdate = 31,
    DigestFinal = 32,
    FindObjectsInit = 33,
    GetTokenInfo = 34,
    CreateObject = 35,
    SetAttributeValue = 36,
    FindObjects = 37,
    FindObjectsFinal = 38,
    DestroyObject = 39,
    CopyObject = 40,
    GenerateRandom = 42,
    WrapKey = 43,
    UnwrapKey = 44,
    SetDeviceClock = 46,
    DeriveKey = 49,
    DigestKey = 50,
    SeedRandom = 51,
    GetObjectSize = 52,
};

// How a request finds its device: by the session it carries, or by the
// slot given to the function (the request then carries no session).
enum class Routing : uint8_t { BySession, BySlot };

// Whether the module writes the row's name at TRACE when the call starts.
enum class Trace : uint8_t { Silent, Logged };

struct FunctionInfo {
    FunctionId id;
    // The PKCS#11 function the id serves ("C_Sign"); for the clock setting,
    // which serves none, the text the module logs for it.
    const char* name;
    Routing routing;
    bool clear;  // true when the caller binds no decoder routines to the response
    Trace trace;
    uint16_t allowed;  // every Request field the id may carry (RequestField bits)
    uint16_t always;   // the fields every request of the id carries
    MechanismForms mechanism;
};

namespace call_table_detail {

constexpr Routing Ses = Routing::BySession;
constexpr Routing Slot = Routing::BySlot;
constexpr uint16_t S = kFieldSession;
constexpr uint16_t M = kFieldMechanism;
constexpr uint16_t D = kFieldData;
constexpr uint16_t T = kFieldTemplate;
constexpr uint16_t O = kFieldObject;
constexpr uint16_t Q = kFieldLengthOnly;
constexpr uint16_t V = kFieldValue;
constexpr uint16_t T2 = kFieldTemplate2;
constexpr uint16_t D2 = kFieldData2;
constexpr uint16_t C = kFieldOutCapacity;
constexpr uint16_t O2 = kFieldObject2;
// Output calls of encryption and decryption: data when input is given,
// length_only for a size query, out_capacity when a length is given.
constexpr uint16_t kProcess = S | D | Q | C;
constexpr uint16_t kFinal = S | Q | C;
using F = FunctionId;
using Forms = MechanismForms;

// The table, in ascending id order. Columns: id, name, routing, clear flag,
// TRACE line, allowed request fields, fields always sent, mechanism forms.
inline constexpr FunctionInfo kCallTable[] = {
    {F::GenerateKey, "C_GenerateKey", Ses, true, Trace::Silent, S | M | T, S | M, Forms::Bare},
    {F::EncryptInit, "C_EncryptInit", Ses, true, Trace::Logged, S | M | O, S | M | O, Forms::Init},
    {F::Encrypt, "C_Encrypt", Ses, false, Trace::Logged, kProcess, S, Forms::None},
    {F::DecryptInit, "C_DecryptInit", Ses, true, Trace::Logged, S | M | O, S | M | O, Forms::Init},
    {F::Decrypt, "C_Decrypt", Ses, false, Trace::Logged, kProcess, S, Forms::None},
    {F::EncryptUpdate, "C_EncryptUpdate", Ses, false, Trace::Logged, kProcess, S, Forms::None},
    {F::DecryptUpdate, "C_DecryptUpdate", Ses, false, Trace::Logged, kProcess, S, Forms::None},
    {F::EncryptFinal, "C_EncryptFinal", Ses, false, Trace::Logged, kFinal, S, Forms::None},
    {F::DecryptFinal, "C_DecryptFinal", Ses, false, Trace::Logged, kFinal, S, Forms::None},
    {F::InitToken, "C_InitToken", Slot, true, Trace::Logged, D | D2, D | D2, Forms::None},
    {F::OpenSession, "C_OpenSession", Slot, true, Trace::Logged, V, V, Forms::None},
    {F::CloseSession, "C_CloseSession", Ses, true, Trace::Logged, S, S, Forms::None},
    {F::Login, "C_Login", Ses, true, Trace::Logged, S | V | D, S | V | D, Forms::None},
    {F::CloseAllSessions, "C_CloseAllSessions", Slot, true, Trace::Logged, 0, 0, Forms::None},
    {F::GenerateKeyPair, "C_GenerateKeyPair", Ses, true, Trace::Logged, S | M | T | T2, S | M,
     Forms::Bare},
    {F::GetAttributeValue, "C_GetAttributeValue", Ses, false, Trace::Logged, S | O | T, S | O,
     Forms::None},
    {F::GetSessionInfo, "C_GetSessionInfo", Ses, true, Trace::Logged, S, S, Forms::None},
    {F::InitPIN, "C_InitPIN", Ses, true, Trace::Logged, S | D, S | D, Forms::None},
    {F::Logout, "C_Logout", Ses, true, Trace::Logged, S, S, Forms::None},
    {F::SetPIN, "C_SetPIN", Ses, true, Trace::Logged, S | D | D2, S | D | D2, Forms::None},
    {F::SignInit, "C_SignInit", Ses, true, Trace::Silent, S | M | O, S | M | O, Forms::Generic},
    {F::Sign, "C_Sign", Ses, false, Trace::Logged, S | D | C, S | D | C, Forms::None},
    {F::VerifyInit, "C_VerifyInit", Ses, true, Trace::Logged, S | M | O, S | M | O, Forms::Generic},
    {F::Verify, "C_Verify", Ses, true, Trace::Logged, S | D | D2, S | D | D2, Forms::None},
    {F::SignUpdate, "C_SignUpdate", Ses, true, Trace::Logged, S | D, S | D, Forms::None},
    {F::VerifyUpdate, "C_VerifyUpdate", Ses, true, Trace::Logged, S | D, S | D, Forms::None},
    {F::SignFinal, "C_SignFinal", Ses, false, Trace::Logged, S, S, Forms::None},
    {F::VerifyFinal, "C_VerifyFinal", Ses, true, Trace::Logged, S | D, S | D, Forms::None},
    {F::DigestInit, "C_DigestInit", Ses, true, Trace::Logged, S | M, S | M, Forms::Bare},
    {F::DigestUpdate, "C_DigestUpdate", Ses, true, Trace::Logged, S | D, S | D, Forms::None},
    {F::DigestFinal, "C_DigestFinal", Ses, false, Trace::Logged, S | C | Q, S, Forms::None},
    {F::FindObjectsInit, "C_FindObjectsInit", Ses, true, Trace::Logged, S | T, S, Forms::None},
    {F::GetTokenInfo, "C_GetTokenInfo", Slot, true, Trace::Logged, 0, 0, Forms::None},
    {F::CreateObject, "C_CreateObject", Ses, true, Trace::Logged, S | T, S, Forms::None},
    {F::SetAttributeValue, "C_SetAttributeValue", Ses, true, Trace::Logged, S | O | T, S | O,
     Forms::None},
    {F::FindObjects, "C_FindObjects", Ses, false, Trace::Logged, S | C, S | C, Forms::None},
    {F::FindObjectsFinal, "C_FindObjectsFinal", Ses, true, Trace::Logged, S, S, Forms::None},
    {F::DestroyObject, "C_DestroyObject", Ses, true, Trace::Logged, S | O, S | O, Forms::None},
    {F::CopyObject, "C_CopyObject", Ses, true, Trace::Logged, S | O | T, S | O, Forms::None},
    {F::GenerateRandom, "C_GenerateRandom", Ses, false, Trace::Logged, S | C, S | C, Forms::None},
    {F::WrapKey, "C_WrapKey", Ses, false, Trace::Silent, S | M | O | O2 | C, S | M | O | O2 | C,
     Forms::Generic},
    {F::UnwrapKey, "C_UnwrapKey", Ses, false, Trace::Silent, S | M | O | D | T, S | M | O | D,
     Forms::Generic},
    {F::SetDeviceClock, "bSetDateTime", Slot, true, Trace::Logged, O, O, Forms::None},
    {F::DeriveKey, "C_DeriveKey", Ses, false, Trace::Logged, S | M | O | T, S | M | O, Forms::Init},
    {F::DigestKey, "C_DigestKey", Ses, true, Trace::Logged, S | O, S | O, Forms::None},
    {F::SeedRandom, "C_SeedRandom", Ses, true, Trace::Logged, S | D, S | D, Forms::None},
    {F::GetObjectSize, "C_GetObjectSize", Ses, true, Trace::Logged, S | O, S | O, Forms::None},
};

}  // namespace call_table_detail

using call_table_detail::kCallTable;

// The largest id a row may have: dispatch tables index by id up to it.
constexpr uint32_t kMaxFunctionId = 63;

// The row of an id, or nullptr for an id without one (an id never sent).
const FunctionInfo* findFunction(uint32_t id);

// The row of an id known at compile time; an id without a row does not
// compile where a constant is required.
constexpr const FunctionInfo& functionInfo(FunctionId id) {
    for (const FunctionInfo& info : kCallTable) {
        if (info.id == id) {
            return info;
        }
    }
    throw "function id without a row in the call table";
}

// The text the module logs at TRACE when a call of this id starts, or
// nullptr when it logs none.
constexpr const char* traceName(FunctionId id) {
    const FunctionInfo& info = functionInfo(id);
    return info.trace == Trace::Logged ? info.name : nullptr;
}

}  // namespace vexa::rpc
