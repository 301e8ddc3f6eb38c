// What the module keeps of an application's login so that the login
// outlives the device's own: for each slot, the user type and PIN of the
// last successful C_Login. The device forgets both when it is handed to
// another client of the daemon (which clears it between clients) or when it
// vanishes; the module then logs in again for the application, which never
// sees it happen.
//
// The PIN is kept only while the application is logged in, in memory of the
// module's own (platform::SecretBytes: locked against swapping, no core
// dumps, wiped by a zeroising call). It is forgotten at C_Logout, when the
// slot's last session closes, at C_Finalize, when logging in again fails,
// and in the child of a fork. It is never logged nor written anywhere.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>

#include "platform/secret_memory.h"

namespace vexa::pkcs11 {

class CLoginKeeper {
public:
    // A successful C_Login as CKU_USER or CKU_SO on `slot` (a context-
    // specific login is for one operation and is not kept).
    void remember(int32_t slot, CK_USER_TYPE userType, const void* pin, size_t length);
    // A successful C_SetPIN while logged in changed the logged-in user's PIN.
    void replacePin(int32_t slot, const void* pin, size_t length);
    bool holds(int32_t slot) const;
    void forget(int32_t slot);
    void forgetAll();
    // Zeroes every PIN without taking the lock or freeing anything: for the
    // child of a fork, where a lock may belong to a thread that is gone.
    void wipeInForkedChild();

    // Runs fn(userType, pin, length) under the keeper's lock when `slot` has
    // a login kept; returns false (fn not run) when it has none.
    template <class Fn>
    bool withLogin(int32_t slot, Fn&& fn) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = logins_.find(slot);
        if (it == logins_.end()) {
            return false;
        }
        fn(it->second.userType, it->second.pin.data(), it->second.pin.size());
        return true;
    }

private:
    struct Login {
        CK_USER_TYPE userType = CKU_USER;
        platform::SecretBytes pin;
    };

    mutable std::mutex mutex_;
    std::map<int32_t, Login> logins_;
};

}  // namespace vexa::pkcs11
