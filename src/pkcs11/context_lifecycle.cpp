// C_Initialize and C_Finalize: the locking mode, the slots bound to the
// devices found, the device clocks, and the way back.
#include <exception>

#include "pkcs11/context.h"
#include "pkcs11/device_call.h"
#include "pkcs11/fork_guard.h"
#include "pkcs11/sessions.h"
#include "platform/platform.h"

namespace vexa::pkcs11 {

using talvoranth::LOG_DEBUG;
using talvoranth::LOG_TRACE;
using talvoranth::LOG_WARN;

CK_RV CContext::initialize(CK_VOID_PTR pInitArgs) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    // 1. Nothing is logged or changed for a second call.
    if (initialised()) {
        return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    }
    // A child of a fork will start from a module that is not initialised.
    installForkGuard();

    // 2-3. The locking mode.
    CExchangeLock& lock = slots_.lock();
    lock.reset();
    if (pInitArgs != nullptr) {
        const auto& args = *static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs);
        log(LOG_DEBUG, "C_Initialize with non-null args");
        if (args.pReserved != nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        if ((args.flags & CKF_OS_LOCKING_OK) != 0) {
            // The application's routines, if any, are not used.
            log(LOG_DEBUG, "C_Initialize with locking requested");
            lock.useOperatingSystem();
        } else if (args.CreateMutex != nullptr) {
            log(LOG_DEBUG, "C_Initialize with locking functions requested");
            if (args.DestroyMutex == nullptr || args.LockMutex == nullptr ||
                args.UnlockMutex == nullptr) {
                return CKR_ARGUMENTS_BAD;
            }
            if (lock.useApplication(args) != CKR_OK) {
                return CKR_CANT_LOCK;
            }
        }
    } else {
        log(LOG_TRACE, "C_Initialize");
    }

    // 4-7. One slot per listed device, in list order. Transports open at
    // their first exchange. The new slots replace the old under the
    // exchange lock; the module counts as initialised once they are in place.
    try {
        CSlotTable::Transports transports;
        for (const talvoranth::DeviceId& id : hooks_.listDevices(config_)) {
            std::unique_ptr<talvoranth::CTransport> transport =
                hooks_.createTransport(id, config_, this);
            if (transport) {
                transport->setTimeout(config_.timeoutMs);
            }
            transports.push_back(std::move(transport));
        }
        slots_.replace(std::move(transports));
    } catch (...) {
        lock.release();
        throw;
    }
    slots_.setCurrentSlot(-1);
    initialised_.store(true, std::memory_order_release);

    // 8. Each device's clock, outside the lock: every exchange takes it itself.
    const size_t count = slots_.size();
    for (size_t slot = 0; slot < count; ++slot) {
        try {
            setDeviceClock(static_cast<int32_t>(slot));
        } catch (...) {
            log(LOG_WARN, "Failed to set time");
        }
    }
    return CKR_OK;
}

bool CContext::setDeviceClock(int32_t slot) {
    log(LOG_TRACE, "bSetDateTime");
    if (!initialised()) {
        return false;
    }
    CDeviceCall call(rpc::FunctionId::SetDeviceClock);
    // Seconds since 1970-01-01 UTC, low 32 bits.
    call.request().has_object = true;
    call.request().object = static_cast<uint32_t>(platform::unixTimeSeconds());
    return call.sendToSlot(*this, static_cast<CK_SLOT_ID>(slot)) == CKR_OK;
}

CK_RV CContext::finalize(CK_VOID_PTR pReserved) {
    log(LOG_TRACE, "C_Finalize");
    if (pReserved != nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (!initialised()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }

    // 1. Every slot: close this application's sessions on the device (not
    // those of other applications that share it), then its transport.
    // Failures are of no consequence here.
    const size_t count = slots_.size();
    for (size_t slot = 0; slot < count; ++slot) {
        try {
            log(LOG_TRACE, "C_CloseAllSessions");
            closeAllSessions(*this, static_cast<CK_SLOT_ID>(slot));
        } catch (...) {
        }
        try {
            slots_.withTransport(static_cast<int32_t>(slot), [](talvoranth::CTransport* transport) {
                if (transport != nullptr) {
                    transport->close();
                }
            });
        } catch (...) {
        }
    }

    // 2. Back to the state of a new context; the transports are destroyed.
    initialised_.store(false, std::memory_order_release);
    slots_.replace({});
    sessions_.clear();
    logins_.forgetAll();
    slots_.lock().release();
    return CKR_OK;
}

}  // namespace vexa::pkcs11
