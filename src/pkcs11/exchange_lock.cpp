#include "pkcs11/exchange_lock.h"

namespace vexa::pkcs11 {

std::mutex& processMutex() {
    // Constant-initialised: it exists before any code of the module runs.
    static std::mutex mutex;
    return mutex;
}

void CExchangeLock::reset() {
    mode_ = Mode::None;
    args_ = CK_C_INITIALIZE_ARGS{};
    applicationMutex_ = nullptr;
}

void CExchangeLock::useOperatingSystem() {
    reset();
    mode_ = Mode::OperatingSystem;
}

CK_RV CExchangeLock::useApplication(const CK_C_INITIALIZE_ARGS& args) {
    void* mutex = nullptr;
    if (args.CreateMutex(&mutex) != CKR_OK) {
        return CKR_CANT_LOCK;
    }
    mode_ = Mode::Application;
    args_ = args;
    applicationMutex_ = mutex;
    return CKR_OK;
}

void CExchangeLock::release() {
    if (mode_ == Mode::Application && args_.DestroyMutex != nullptr) {
        args_.DestroyMutex(applicationMutex_);
    }
    reset();
}

bool CExchangeLock::lock() {
    switch (mode_) {
        case Mode::OperatingSystem:
            processMutex().lock();
            return true;
        case Mode::Application:
            return args_.LockMutex(applicationMutex_) == CKR_OK;
        case Mode::None:
            return true;
    }
    return true;
}

void CExchangeLock::unlock() {
    switch (mode_) {
        case Mode::OperatingSystem:
            processMutex().unlock();
            break;
        case Mode::Application:
            args_.UnlockMutex(applicationMutex_);
            break;
        case Mode::None:
            break;
    }
}

}  // namespace vexa::pkcs11
