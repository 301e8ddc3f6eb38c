#include "sim/firmware/handlers.h"

#include <p11-kit/pkcs11.h>

#include <stdexcept>
#include <string>

namespace vexa::sim {

void Registry::add(const HandlerEntry* entries, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const HandlerEntry& entry = entries[i];
        const auto id = static_cast<uint32_t>(entry.functionId);
        const rpc::FunctionInfo* row = rpc::findFunction(id);
        if (row == nullptr || entry.handler == nullptr) {
            throw std::logic_error("bad handler entry for function id " + std::to_string(id));
        }
        if (table_[id].handler != nullptr) {
            throw std::logic_error("function id " + std::to_string(id) + " has two handlers");
        }
        table_[id] = Dispatch{entry.handler, row->routing};
    }
}

const Dispatch* Registry::find(uint32_t functionId) const {
    if (functionId > rpc::kMaxFunctionId || table_[functionId].handler == nullptr) {
        return nullptr;
    }
    return &table_[functionId];
}

const Registry& firmwareRegistry() {
    static const Registry registry = [] {
        Registry r;
        registerTokenHandlers(r);
        registerSessionHandlers(r);
        registerRandomHandlers(r);
        registerObjectHandlers(r);
        registerCryptoHandlers(r);
        return r;
    }();
    return registry;
}

uint32_t putOutput(Call& call, Bytes output) {
    const auto length = static_cast<uint32_t>(output.size());
    call.response.length = length;
    if (call.request.lengthOnly.value_or(false)) {
        return CKR_OK;
    }
    if (call.request.outCapacity && *call.request.outCapacity < length) {
        return CKR_BUFFER_TOO_SMALL;
    }
    call.response.data = std::move(output);
    return CKR_OK;
}

}  // namespace vexa::sim
