// The device lock built on byte-range locks of one open file, the same on
// every system: byte 0 is presence, byte 1 the exchange, byte 2 the
// turnstile in front of the exchange. Each system supplies the locking of
// one byte without waiting, and share().
#pragma once

#include <cstdint>

#include "platform/device_lock.h"

namespace vexa::platform {

class ByteRangeDeviceLock : public DeviceLock {
public:
    Presence join(bool exclusive, int waitMs) override;
    bool lockExchange(int waitMs) override;
    void unlockExchange() override;
    // Presence is one byte however it is held (exclusive, shared, or shared
    // over exclusive after share()): one unlock lets it go.
    void leave() override { unlock(kPresenceByte); }

protected:
    static constexpr int kPresenceByte = 0;
    static constexpr int kExchangeByte = 1;
    static constexpr int kTurnstileByte = 2;

    enum class Outcome {
        Taken,
        Busy,    // another holder has it
        Failed,  // the system refused for another reason
    };
    virtual Outcome tryLock(int byte, bool exclusive) = 0;
    virtual void unlock(int byte) = 0;

private:
    bool waitFor(int byte, bool exclusive, int64_t deadline);

    bool exchangeHeld_ = false;
};

}  // namespace vexa::platform
