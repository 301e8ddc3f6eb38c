// How device exchanges are serialised, as the application chose at
// C_Initialize: not at all, with the process-wide mutex (CKF_OS_LOCKING_OK),
// or with the application's own mutex routines.
#pragma once

#include <p11-kit/pkcs11.h>

#include <mutex>

namespace vexa::pkcs11 {

// The process-wide mutex: a plain, non-recursive mutex that exists from
// program start. It guards the creation of the module context and, in the
// operating-system locking mode, every device exchange.
std::mutex& processMutex();

class CExchangeLock {
public:
    enum class Mode { None, OperatingSystem, Application };

    CExchangeLock() = default;
    CExchangeLock(const CExchangeLock&) = delete;
    CExchangeLock& operator=(const CExchangeLock&) = delete;

    Mode mode() const { return mode_; }

    // Back to no locking; the application's mutex, if any, is forgotten
    // without being destroyed.
    void reset();
    void useOperatingSystem();
    // Creates the application's mutex through its CreateMutex and keeps a
    // copy of the routines. Returns CKR_CANT_LOCK when CreateMutex fails; the
    // mode is then unchanged.
    CK_RV useApplication(const CK_C_INITIALIZE_ARGS& args);
    // Destroys the application's mutex (if this mode made one) and returns
    // to no locking.
    void release();

    // Takes the lock of the current mode. False when the application's
    // LockMutex refused; nothing is held then.
    bool lock();
    void unlock();

private:
    Mode mode_ = Mode::None;
    CK_C_INITIALIZE_ARGS args_{};
    void* applicationMutex_ = nullptr;
};

// Holds the exchange lock for one scope.
class CExchangeGuard {
public:
    explicit CExchangeGuard(CExchangeLock& lock) : lock_(lock), held_(lock.lock()) {}
    ~CExchangeGuard() { unlock(); }
    CExchangeGuard(const CExchangeGuard&) = delete;
    CExchangeGuard& operator=(const CExchangeGuard&) = delete;

    bool held() const { return held_; }
    void unlock() {
        if (held_) {
            held_ = false;
            lock_.unlock();
        }
    }

private:
    CExchangeLock& lock_;
    bool held_;
};

}  // namespace vexa::pkcs11
