#include "pkcs11/slot_table.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <string>

#include "pkcs11/device_selection.h"

namespace vexa::pkcs11 {

void CSlotTable::replace(Transports transports) {
    {
        std::unique_lock<std::shared_mutex> slots(slotsMutex_);
        CExchangeGuard guard(lock_);
        slots_.swap(transports);
        restoredConnection_.assign(slots_.size(), 0);
    }
    // The old transports are destroyed here, outside both locks.
}

size_t CSlotTable::size() const {
    std::shared_lock<std::shared_mutex> slots(slotsMutex_);
    return slots_.size();
}

std::optional<int32_t> CSlotTable::find(CK_SLOT_ID slotId) const {
    std::shared_lock<std::shared_mutex> slots(slotsMutex_);
    if (slotId >= slots_.size() || slotId > CK_SLOT_ID{std::numeric_limits<int32_t>::max()}) {
        return std::nullopt;
    }
    return static_cast<int32_t>(slotId);
}

talvoranth::CTransport* CSlotTable::transportOf(int32_t slot) const {
    if (slot < 0 || static_cast<size_t>(slot) >= slots_.size()) {
        return nullptr;
    }
    return slots_[static_cast<size_t>(slot)].get();
}

bool CSlotTable::bringUpLocked(int32_t slot, talvoranth::CTransport& transport) {
    if (!transport.isOpen()) {
        transport.open();
    }
    unsigned long& restored = restoredConnection_[static_cast<size_t>(slot)];
    const unsigned long connection = transport.connectionCount();
    if (connection == restored) {
        return false;
    }
    restored = connection;
    if (restorer_ != nullptr) {
        restorer_->restore(slot, transport);
    }
    return true;
}

bool CSlotTable::prepare(int32_t slot) {
    std::shared_lock<std::shared_mutex> slots(slotsMutex_);
    CExchangeGuard guard(lock_);
    if (!guard.held()) {
        log_.log(talvoranth::LOG_ERROR, "Failed to lock the application's mutex");
        return false;
    }
    talvoranth::CTransport* transport = transportOf(slot);
    if (transport == nullptr) {
        log_.log(talvoranth::LOG_ERROR, "Port not found");
        return false;
    }
    try {
        bringUpLocked(slot, *transport);
        // A restore that got no answer has closed the new connection again:
        // the call fails now rather than wait for yet another one.
        return transport->isOpen();
    } catch (const std::exception& e) {
        guard.unlock();
        log_.log(talvoranth::LOG_ERROR, std::string(e.what()));
        return false;
    }
}

bool CSlotTable::holdsSessions(int32_t slot) {
    std::shared_lock<std::shared_mutex> slots(slotsMutex_);
    CExchangeGuard guard(lock_);
    talvoranth::CTransport* transport = guard.held() ? transportOf(slot) : nullptr;
    try {
        return transport != nullptr && transport->isOpen() &&
               transport->connectionCount() == restoredConnection_[static_cast<size_t>(slot)];
    } catch (const std::exception&) {
        return false;
    }
}

size_t CSlotTable::exchange(int32_t slot, uint8_t* buffer, size_t capacity, size_t length) {
    return exchangeWith(slot, buffer, capacity, length, std::nullopt, false);
}

size_t CSlotTable::exchangeWith(int32_t slot, uint8_t* buffer, size_t capacity, size_t length,
                                std::optional<int> readTimeoutMs, bool boundToConnection) {
    std::shared_lock<std::shared_mutex> slots(slotsMutex_);
    CExchangeGuard guard(lock_);
    if (!guard.held()) {
        log_.log(talvoranth::LOG_ERROR, "Failed to lock the application's mutex");
        return 0;
    }
    talvoranth::CTransport* transport = transportOf(slot);
    if (transport == nullptr) {
        log_.log(talvoranth::LOG_ERROR, "Port not found");
        return 0;
    }
    const int cap = static_cast<int>(std::min<size_t>(capacity, std::numeric_limits<int>::max()));
    try {
        // 1. Open lazily; a transport closed by an earlier failure reopens,
        //    and a new connection gets the slot's sessions back.
        if (bringUpLocked(slot, *transport) && boundToConnection) {
            // Since the request took its session number (a moment ago) the
            // connection was renewed: that number may now name another of
            // the application's sessions. Not sent; the call fails.
            guard.unlock();
            log_.log(talvoranth::LOG_ERROR,
                     "the connection to the device was renewed during the call; not sent");
            return 0;
        }
        std::optional<talvoranth::CScopedTimeout> timeout;
        if (readTimeoutMs) {
            timeout.emplace(*transport, *readTimeoutMs);
        }
        // 2. One whole request, then its reply.
        transport->write(buffer, static_cast<int>(length));
        const int received = transport->read(buffer, cap);
        setCurrentSlot(kExchanged);
        return received > 0 ? std::min<size_t>(static_cast<size_t>(received), capacity) : 0;
    } catch (const std::exception& e) {
        guard.unlock();
        log_.log(talvoranth::LOG_ERROR, std::string(e.what()));
        return 0;
    }
}

}  // namespace vexa::pkcs11
