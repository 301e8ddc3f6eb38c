#include "rpc/catalogue.h"

namespace vexa::rpc {
namespace {

// Mechanism tags: 1 type, 2 parameter_length, 3 parameter, 4 oaep, 5 ecdh.
constexpr uint16_t kType = 1u << 1;
constexpr uint16_t kBare = kType | 1u << 3;
constexpr uint16_t kGeneric = kBare | 1u << 2;
constexpr uint16_t kOaep = kType | 1u << 4;
constexpr uint16_t kEcdh = kType | 1u << 5;
constexpr uint32_t kOaepType = 0x9;     // CKM_RSA_PKCS_OAEP
constexpr uint32_t kEcdhType = 0x1050;  // CKM_ECDH1_DERIVE

}  // namespace

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
