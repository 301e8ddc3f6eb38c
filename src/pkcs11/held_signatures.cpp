#include "pkcs11/held_signatures.h"

#include <algorithm>

namespace vexa::pkcs11 {

void CHeldSignatures::hold(CK_SESSION_HANDLE session, std::vector<uint8_t> signature) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.erase(std::remove_if(held_.begin(), held_.end(),
                               [&](const auto& entry) { return entry.first == session; }),
                held_.end());
    if (held_.size() == kMaxHeld) {
        held_.erase(held_.begin());
    }
    held_.emplace_back(session, std::move(signature));
}

std::optional<std::vector<uint8_t>> CHeldSignatures::find(CK_SESSION_HANDLE session) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [handle, signature] : held_) {
        if (handle == session) {
            return signature;
        }
    }
    return std::nullopt;
}

void CHeldSignatures::drop(CK_SESSION_HANDLE session) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.erase(std::remove_if(held_.begin(), held_.end(),
                               [&](const auto& entry) { return entry.first == session; }),
                held_.end());
}

}  // namespace vexa::pkcs11
