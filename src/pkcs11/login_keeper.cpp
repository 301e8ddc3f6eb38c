#include "pkcs11/login_keeper.h"

#include <utility>

namespace vexa::pkcs11 {

void CLoginKeeper::remember(int32_t slot, CK_USER_TYPE userType, const void* pin, size_t length) {
    if (userType != CKU_USER && userType != CKU_SO) {
        return;
    }
    platform::SecretBytes kept(pin, length);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!kept.held()) {
        // No memory for it: the login is not restored rather than kept badly.
        logins_.erase(slot);
        return;
    }
    logins_[slot] = Login{userType, std::move(kept)};
}

void CLoginKeeper::replacePin(int32_t slot, const void* pin, size_t length) {
    platform::SecretBytes kept(pin, length);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = logins_.find(slot);
    if (it == logins_.end()) {
        return;
    }
    if (!kept.held()) {
        logins_.erase(it);
        return;
    }
    it->second.pin = std::move(kept);
}

bool CLoginKeeper::holds(int32_t slot) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logins_.count(slot) != 0;
}

void CLoginKeeper::forget(int32_t slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    logins_.erase(slot);
}

void CLoginKeeper::forgetAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    logins_.clear();
}

void CLoginKeeper::wipeInForkedChild() {
    for (auto& entry : logins_) {
        entry.second.pin.wipeInPlace();
    }
}

}  // namespace vexa::pkcs11
