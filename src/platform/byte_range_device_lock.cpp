#include "platform/byte_range_device_lock.h"

#include <algorithm>

#include "platform/platform.h"

namespace vexa::platform {

namespace {

// Polling interval while another process holds a part: short at first, and
// never long, since an exchange takes a few milliseconds.
constexpr int kFirstPollMs = 1;
constexpr int kMaxPollMs = 5;

int64_t deadlineIn(int waitMs) {
    return monotonicNanoseconds() + int64_t{std::max(waitMs, 0)} * 1000000;
}

}  // namespace

DeviceLock::Presence ByteRangeDeviceLock::join(bool exclusive, int waitMs) {
    const int64_t deadline = deadlineIn(waitMs);
    if (exclusive) {
        return waitFor(kPresenceByte, true, deadline) ? Presence::Alone : Presence::Busy;
    }
    if (tryLock(kPresenceByte, true) == Outcome::Taken) {
        return Presence::Alone;
    }
    return waitFor(kPresenceByte, false, deadline) ? Presence::Shared : Presence::Busy;
}

// A process that exchanges without pause would take the exchange again
// before a polling waiter sees it free. The waiter therefore holds the
// turnstile while it waits, and everyone passes the turnstile first: the
// holder cannot come back before the waiter has had its turn.
bool ByteRangeDeviceLock::lockExchange(int waitMs) {
    if (exchangeHeld_) {
        return true;
    }
    const int64_t deadline = deadlineIn(waitMs);
    if (!waitFor(kTurnstileByte, true, deadline)) {
        return false;
    }
    exchangeHeld_ = waitFor(kExchangeByte, true, deadline);
    unlock(kTurnstileByte);
    return exchangeHeld_;
}

void ByteRangeDeviceLock::unlockExchange() {
    if (exchangeHeld_) {
        unlock(kExchangeByte);
        exchangeHeld_ = false;
    }
}

// The systems' blocking variants take no time limit (Linux's could only be
// cut short by a signal, which a library must not take from its
// application): poll.
bool ByteRangeDeviceLock::waitFor(int byte, bool exclusive, int64_t deadline) {
    int pollMs = kFirstPollMs;
    for (;;) {
        const Outcome outcome = tryLock(byte, exclusive);
        if (outcome != Outcome::Busy) {
            return outcome == Outcome::Taken;
        }
        const int64_t left = deadline - monotonicNanoseconds();
        if (left <= 0) {
            return false;
        }
        sleepMilliseconds(static_cast<int>(std::min<int64_t>(pollMs, left / 1000000 + 1)));
        pollMs = std::min(pollMs * 2, kMaxPollMs);
    }
}

}  // namespace vexa::platform
