// The vocabulary of the call table's request columns: one bit per Request
// field, and the forms a request's Mechanism may take.
#pragma once

#include <cstdint>

namespace vexa::rpc {

// One bit per Request field, at the field's tag number.
enum RequestField : uint16_t {
    kFieldSession = 1u << 2,
    kFieldMechanism = 1u << 3,
    kFieldData = 1u << 4,
    kFieldTemplate = 1u << 5,
    kFieldObject = 1u << 6,
    kFieldLengthOnly = 1u << 7,
    kFieldValue = 1u << 8,
    kFieldTemplate2 = 1u << 9,
    kFieldData2 = 1u << 10,
    kFieldOutCapacity = 1u << 11,
    kFieldObject2 = 1u << 12,
};

constexpr uint16_t requestFieldOfTag(uint32_t tag) {
    return tag >= 2 && tag <= 12 ? static_cast<uint16_t>(1u << tag) : 0;
}

// The Mechanism fields (by tag) of each form:
//   bare     type, parameter
//   generic  type, parameter_length, parameter
//   OAEP     type, oaep              (CKM_RSA_PKCS_OAEP only)
//   ECDH     type, ecdh              (CKM_ECDH1_DERIVE only)
enum class MechanismForms : uint8_t {
    None,     // the id carries no mechanism
    Bare,     // C_DigestInit, key generation
    Generic,  // sign/verify init, wrap, unwrap
    Init,     // encrypt/decrypt init and derive: generic, OAEP or ECDH
};

}  // namespace vexa::rpc
