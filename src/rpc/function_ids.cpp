#include "rpc/function_ids.h"

#include <array>

namespace vexa::rpc {
namespace {

constexpr uint8_t kNoRow = 0xFF;

// Row positions by id, so that a lookup costs one index.
constexpr std::array<uint8_t, kMaxFunctionId + 1> makeRowIndex() {
    std::array<uint8_t, kMaxFunctionId + 1> index{};
    for (uint8_t& position : index) {
        position = kNoRow;
    }
    for (size_t row = 0; row < std::size(kCallTable); ++row) {
        index[static_cast<uint32_t>(kCallTable[row].id)] = static_cast<uint8_t>(row);
    }
    return index;
}

constexpr std::array<uint8_t, kMaxFunctionId + 1> kRowIndex = makeRowIndex();

// The table's own invariants, checked where it is compiled: ascending ids
// in range, fields always sent among those allowed, and a session field in
// every request routed by session and in no other.
constexpr bool consistentRows() {
    uint32_t previous = 0;
    for (const FunctionInfo& info : kCallTable) {
        const auto id = static_cast<uint32_t>(info.id);
        const bool carriesSession = (info.always & kFieldSession) != 0;
        const bool allowsSession = (info.allowed & kFieldSession) != 0;
        if (id <= previous || id > kMaxFunctionId || (info.always & ~info.allowed) != 0 ||
            carriesSession != (info.routing == Routing::BySession) ||
            allowsSession != carriesSession) {
            return false;
        }
        previous = id;
    }
    return true;
}
static_assert(consistentRows(), "call table rows disagree with each other or with their routing");

}  // namespace

const FunctionInfo* findFunction(uint32_t id) {
    if (id > kMaxFunctionId || kRowIndex[id] == kNoRow) {
        return nullptr;
    }
    return &kCallTable[kRowIndex[id]];
}

}  // namespace vexa::rpc
