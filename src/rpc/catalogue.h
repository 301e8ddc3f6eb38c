// What the device reads from a request of each function id: the Request
// fields (by their tag numbers) that the message catalogue gives that id,
// which of them every such request carries, and the forms its Mechanism may
// take. A device built to the catalogue ignores every other field; the
// module sends no other field, and tests hold both to this table.
#pragma once

#include <cstdint>

#include "rpc/function_ids.h"

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

struct RequestShape {
    FunctionId id;
    uint16_t allowed;  // every field the id may carry
    uint16_t always;   // the fields every request of the id carries
    MechanismForms mechanism;
};

// The shape of a function id, or nullptr for an id the module never sends.
const RequestShape* findRequestShape(uint32_t id);

// The Mechanism fields (bit at each tag) that a form allows for a
// mechanism type.
uint16_t allowedMechanismFields(MechanismForms forms, uint32_t mechanismType);

}  // namespace vexa::rpc
