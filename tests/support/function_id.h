// Function ids in tests: the call table's names, never bare numbers.
#pragma once

#include <cstdint>

#include "rpc/function_ids.h"

namespace vexa::test {

using rpc::FunctionId;

// The value a request carries in its function_id field.
constexpr uint32_t id(FunctionId function) {
    return static_cast<uint32_t>(function);
}

}  // namespace vexa::test
