// Function ids of the remote-call protocol: the value of Request.function_id
// that names the PKCS#11 function a request serves.
#pragma once

#include <cstdint>

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

// How a request finds its device.
enum class Routing : uint8_t { BySession, BySlot };

struct FunctionInfo {
    FunctionId id;
    const char* name;  // the PKCS#11 function it serves ("C_Sign"), or a plain description
    Routing routing;
    bool clear;  // true when the caller binds no decoder routines to the response
};

// The whole table, in ascending id order.
const FunctionInfo* functionTable(std::size_t* count);

// The entry for an id, or nullptr for an id that is never sent (0, 30, 41,
// 45, 47, 48 and everything above 52).
const FunctionInfo* findFunction(uint32_t id);

}  // namespace vexa::rpc
