// What the device reads from a request of each function id: the Request
// fields that the call table (function_ids.h) gives that id, which of them
// every such request carries, and the forms its Mechanism may take. A
// device built to the catalogue ignores every other field; the module sends
// no other field, and tests hold both to the table.
#pragma once

#include <cstdint>

#include "rpc/function_ids.h"
#include "rpc/request_fields.h"

namespace vexa::rpc {

// The Mechanism fields (bit at each tag) that a form allows for a
// mechanism type.
uint16_t allowedMechanismFields(MechanismForms forms, uint32_t mechanismType);

}  // namespace vexa::rpc
