// The slots of the module: slot i is the transport of the i-th device found
// at C_Initialize. Every device exchange goes through here: it takes the
// exchange lock of the mode the application chose, finds the slot's
// transport, opens it when it is closed, writes the request and reads the
// reply.
//
// The slot travels with each call, so concurrent threads never re-route each
// other. currentSlot() is kept only as an observation: the slot last routed
// by any thread, or 0xFFFFFF after a successful exchange.
#pragma once

#include <p11-kit/pkcs11.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <vector>

#include "log/log_target.h"
#include "pkcs11/exchange_lock.h"
#include "rpc/envelope.h"
#include "transport/transport.h"

namespace vexa::pkcs11 {

// Brings back what the device of a slot held for the application (its
// sessions, its login) after the slot's transport reached the device
// afresh. Called under the exchange lock with the open transport; it
// exchanges through that transport directly.
class ISessionRestorer {
public:
    virtual ~ISessionRestorer() = default;
    virtual void restore(int32_t slot, talvoranth::CTransport& transport) = 0;
};

class CSlotTable : public rpc::IExchanger {
public:
    // Slot index to transport; an entry may be null (no transport could be
    // made for that device: its exchanges find "Port not found").
    using Transports = std::vector<std::unique_ptr<talvoranth::CTransport>>;

    // The value currentSlot() takes after a successful exchange.
    static constexpr int32_t kExchanged = 0xFFFFFF;

    explicit CSlotTable(talvoranth::ILogTarget& log) : log_(log) {}

    CExchangeLock& lock() { return lock_; }
    // Runs at the first exchange of each new connection (not owned; null:
    // nothing is restored).
    void setRestorer(ISessionRestorer* restorer) { restorer_ = restorer; }

    // Puts these transports in place of the current ones, under the exchange
    // lock and after every running exchange has ended. The old transports are
    // destroyed, which closes them.
    void replace(Transports transports);
    size_t size() const;
    // The slot that an application's slot id names, if it exists.
    std::optional<int32_t> find(CK_SLOT_ID slotId) const;

    // Opens the transport of `slot` when it is closed (or its connection
    // ended) and, when it reached the device afresh, restores the slot's
    // sessions, all under the exchange lock: afterwards the session table
    // names the device's current numbers. False, after logging why, when
    // the slot has no transport, the lock was refused or the open failed.
    bool prepare(int32_t slot);
    // True when the transport of `slot` is open on the connection the slot's
    // sessions were last brought to: only then does the device hold them.
    // Never connects.
    bool holdsSessions(int32_t slot);

    // One exchange with the transport of `slot` (rpc::IExchanger).
    size_t exchange(int32_t slot, uint8_t* buffer, size_t capacity, size_t length) override;
    // The same with options: the transport's read time-out set to
    // `readTimeoutMs` for this one exchange and restored afterwards; with
    // `boundToConnection`, a request that carries a device's session number
    // is not sent (0 is returned) when the connection turned out new since
    // that number was taken (its sessions are restored all the same).
    size_t exchangeWith(int32_t slot, uint8_t* buffer, size_t capacity, size_t length,
                        std::optional<int> readTimeoutMs, bool boundToConnection);

    // Runs fn(CTransport*) under the exchange lock; the pointer is null when
    // the slot has no transport or the application's mutex refused.
    template <class Fn>
    auto withTransport(int32_t slot, Fn&& fn) {
        std::shared_lock<std::shared_mutex> slots(slotsMutex_);
        CExchangeGuard guard(lock_);
        return fn(guard.held() ? transportOf(slot) : nullptr);
    }

    int32_t currentSlot() const { return currentSlot_.load(std::memory_order_relaxed); }
    void setCurrentSlot(int32_t slot) { currentSlot_.store(slot, std::memory_order_relaxed); }

private:
    talvoranth::CTransport* transportOf(int32_t slot) const;
    // Under the exchange lock: opens the transport if needed, then restores
    // the slot's sessions when its connection is new. True when it was new.
    // Throws what open() throws.
    bool bringUpLocked(int32_t slot, talvoranth::CTransport& transport);

    talvoranth::ILogTarget& log_;
    CExchangeLock lock_;
    // Guards the slot vector itself (not the transports): exchanges read it,
    // C_Initialize and C_Finalize replace it.
    mutable std::shared_mutex slotsMutex_;
    Transports slots_;
    // Per slot: the transport's connection count the sessions were last
    // brought to (talvoranth::CTransport::connectionCount).
    std::vector<unsigned long> restoredConnection_;
    ISessionRestorer* restorer_ = nullptr;
    std::atomic<int32_t> currentSlot_{-1};
};

}  // namespace vexa::pkcs11
