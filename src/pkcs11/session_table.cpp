#include "pkcs11/session_table.h"

namespace vexa::pkcs11 {

CK_SESSION_HANDLE CSessionTable::add(int32_t slot, uint32_t deviceHandle, CK_FLAGS flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    const CK_SESSION_HANDLE own = deviceHandle;
    auto it = routes_.find(own);
    if (own != CK_INVALID_HANDLE &&
        (it == routes_.end() ||
         (it->second.slot == slot && it->second.deviceHandle == deviceHandle))) {
        routes_[own] = SessionRoute{slot, deviceHandle, flags};
        return own;
    }
    // Taken by a session of another slot, or by one of this slot that was
    // opened again under another number after a reconnection (or the
    // invalid handle 0): a number of the module's own, 32 bits wide like
    // every handle on the wire.
    while (nextOwnHandle_ == CK_INVALID_HANDLE || routes_.count(nextOwnHandle_) != 0) {
        nextOwnHandle_ = nextOwnHandle_ >= 0xFFFFFFFFul ? kFirstOwnHandle : nextOwnHandle_ + 1;
    }
    const CK_SESSION_HANDLE handle = nextOwnHandle_;
    nextOwnHandle_ = nextOwnHandle_ >= 0xFFFFFFFFul ? kFirstOwnHandle : nextOwnHandle_ + 1;
    routes_[handle] = SessionRoute{slot, deviceHandle, flags};
    return handle;
}

bool CSessionTable::repoint(CK_SESSION_HANDLE handle, uint32_t deviceHandle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = routes_.find(handle);
    if (it == routes_.end()) {
        return false;
    }
    it->second.deviceHandle = deviceHandle;
    return true;
}

void CSessionTable::remove(CK_SESSION_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_.erase(handle);
}

std::optional<SessionRoute> CSessionTable::find(CK_SESSION_HANDLE handle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = routes_.find(handle);
    if (it == routes_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::vector<CK_SESSION_HANDLE> CSessionTable::handlesOf(int32_t slot) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<CK_SESSION_HANDLE> handles;
    for (const auto& [handle, route] : routes_) {
        if (route.slot == slot) {
            handles.push_back(handle);
        }
    }
    return handles;
}

std::vector<std::pair<CK_SESSION_HANDLE, SessionRoute>> CSessionTable::routesOf(
    int32_t slot) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<CK_SESSION_HANDLE, SessionRoute>> found;
    for (const auto& entry : routes_) {
        if (entry.second.slot == slot) {
            found.push_back(entry);
        }
    }
    return found;
}

void CSessionTable::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_.clear();
}

size_t CSessionTable::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return routes_.size();
}

}  // namespace vexa::pkcs11
