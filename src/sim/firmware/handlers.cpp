#include "sim/firmware/handlers.h"

#include <p11-kit/pkcs11.h>

#include <stdexcept>
#include <string>

namespace vexa::sim {

void Registry::add(const HandlerEntry* entries, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const HandlerEntry& entry = entries[i];
        if (entry.functionId > kMaxFunctionId || entry.handler == nullptr) {
            throw std::logic_error("bad handler entry for function id " +
                                   std::to_string(entry.functionId));
        }
        if (table_[entry.functionId].handler != nullptr) {
            throw std::logic_error("function id " + std::to_string(entry.functionId) +
                                   " has two handlers");
        }
        table_[entry.functionId] = entry;
    }
}

const HandlerEntry* Registry::find(uint32_t functionId) const {
    if (functionId > kMaxFunctionId || table_[functionId].handler == nullptr) {
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
