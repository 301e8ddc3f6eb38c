#include "rpc/catalogue.h"

#include <iterator>

namespace vexa::rpc {
namespace {

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

using F = FunctionId;
using Forms = MechanismForms;

// Output calls of encryption and decryption: data when input is given,
// length_only for a size query, out_capacity when a length is given.
constexpr uint16_t kProcess = S | D | Q | C;
constexpr uint16_t kFinal = S | Q | C;

constexpr RequestShape kShapes[] = {
    {F::GenerateKey, S | M | T, S | M, Forms::Bare},
    {F::EncryptInit, S | M | O, S | M | O, Forms::Init},
    {F::Encrypt, kProcess, S, Forms::None},
    {F::DecryptInit, S | M | O, S | M | O, Forms::Init},
    {F::Decrypt, kProcess, S, Forms::None},
    {F::EncryptUpdate, kProcess, S, Forms::None},
    {F::DecryptUpdate, kProcess, S, Forms::None},
    {F::EncryptFinal, kFinal, S, Forms::None},
    {F::DecryptFinal, kFinal, S, Forms::None},
    {F::InitToken, D | D2, D | D2, Forms::None},
    {F::OpenSession, V, V, Forms::None},
    {F::CloseSession, S, S, Forms::None},
    {F::Login, S | V | D, S | V | D, Forms::None},
    {F::CloseAllSessions, 0, 0, Forms::None},
    {F::GenerateKeyPair, S | M | T | T2, S | M, Forms::Bare},
    {F::GetAttributeValue, S | O | T, S | O, Forms::None},
    {F::GetSessionInfo, S, S, Forms::None},
    {F::InitPIN, S | D, S | D, Forms::None},
    {F::Logout, S, S, Forms::None},
    {F::SetPIN, S | D | D2, S | D | D2, Forms::None},
    {F::SignInit, S | M | O, S | M | O, Forms::Generic},
    {F::Sign, S | D | C, S | D | C, Forms::None},
    {F::VerifyInit, S | M | O, S | M | O, Forms::Generic},
    {F::Verify, S | D | D2, S | D | D2, Forms::None},
    {F::SignUpdate, S | D, S | D, Forms::None},
    {F::VerifyUpdate, S | D, S | D, Forms::None},
    {F::SignFinal, S, S, Forms::None},
    {F::VerifyFinal, S | D, S | D, Forms::None},
    {F::DigestInit, S | M, S | M, Forms::Bare},
    {F::DigestUpdate, S | D, S | D, Forms::None},
    {F::DigestFinal, S | C | Q, S, Forms::None},
    {F::FindObjectsInit, S | T, S, Forms::None},
    {F::GetTokenInfo, 0, 0, Forms::None},
    {F::CreateObject, S | T, S, Forms::None},
    {F::SetAttributeValue, S | O | T, S | O, Forms::None},
    {F::FindObjects, S | C, S | C, Forms::None},
    {F::FindObjectsFinal, S, S, Forms::None},
    {F::DestroyObject, S | O, S | O, Forms::None},
    {F::CopyObject, S | O | T, S | O, Forms::None},
    {F::GenerateRandom, S | C, S | C, Forms::None},
    {F::WrapKey, S | M | O | O2 | C, S | M | O | O2 | C, Forms::Generic},
    {F::UnwrapKey, S | M | O | D | T, S | M | O | D, Forms::Generic},
    {F::SetDeviceClock, O, O, Forms::None},
    {F::DeriveKey, S | M | O | T, S | M | O, Forms::Init},
    {F::DigestKey, S | O, S | O, Forms::None},
    {F::SeedRandom, S | D, S | D, Forms::None},
    {F::GetObjectSize, S | O, S | O, Forms::None},
};

// Mechanism tags: 1 type, 2 parameter_length, 3 parameter, 4 oaep, 5 ecdh.
constexpr uint16_t kType = 1u << 1;
constexpr uint16_t kBare = kType | 1u << 3;
constexpr uint16_t kGeneric = kBare | 1u << 2;
constexpr uint16_t kOaep = kType | 1u << 4;
constexpr uint16_t kEcdh = kType | 1u << 5;
constexpr uint32_t kOaepType = 0x9;     // CKM_RSA_PKCS_OAEP
constexpr uint32_t kEcdhType = 0x1050;  // CKM_ECDH1_DERIVE

}  // namespace

const RequestShape* findRequestShape(uint32_t id) {
    for (const RequestShape& shape : kShapes) {
        if (static_cast<uint32_t>(shape.id) == id) {
            return &shape;
        }
    }
    return nullptr;
}

uint16_t allowedMechanismFields(MechanismForms forms, uint32_t mechanismType) {
    switch (forms) {
        case MechanismForms::None:
            return 0;
        case MechanismForms::Bare:
            return kBare;
        case MechanismForms::Generic:
            return kGeneric;
        case MechanismForms::Init:
            if (mechanismType == kOaepType) {
                return kOaep;
            }
            return mechanismType == kEcdhType ? kEcdh : kGeneric;
    }
    return 0;
}

}  // namespace vexa::rpc
