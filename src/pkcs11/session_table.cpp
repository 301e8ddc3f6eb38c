#include "pkcs11/session_table.h"

namespace vexa::pkcs11 {

void CSessionTable::add(CK_SESSION_HANDLE handle, int32_t slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[handle] = slot;
}

void CSessionTable::remove(CK_SESSION_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.erase(handle);
}

std::optional<int32_t> CSessionTable::find(CK_SESSION_HANDLE handle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = slots_.find(handle);
    if (it == slots_.end()) {
        return std::nullopt;
    }
    return it->second;
}

void CSessionTable::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.clear();
}

size_t CSessionTable::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slots_.size();
}

}  // namespace vexa::pkcs11
