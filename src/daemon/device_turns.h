// Turns at the device: one client holds it at a time, and the others wait
// in the order their TLS handshakes completed. The holder can see that
// someone waits, so that it hands the device over between requests instead
// of keeping it while it idles.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "platform/wake_event.h"

class DeviceTurns {
public:
    using Clock = std::chrono::steady_clock;
    enum class Result { Granted, TimedOut, Stopped };

    // Waits for the caller's turn until deadline. Granted: the caller holds
    // the device until release().
    Result acquire(Clock::time_point deadline);
    void release();

    // Readable while a client waits for its turn.
    int waiterDescriptor() const { return waiterEvent_.descriptor(); }
    bool othersWaiting() const;

    // Every waiter, now and later, gets Stopped.
    void stop();

private:
    void updateWaiterEvent();  // under mutex_

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<uint64_t> queue_;  // tickets of the waiters, oldest first
    uint64_t nextTicket_ = 0;
    bool held_ = false;
    bool stopped_ = false;
    vexa::platform::WakeEvent waiterEvent_;
};

// Holds a granted turn and releases it on every way out.
class DeviceTurn {
public:
    explicit DeviceTurn(DeviceTurns& turns) : turns_(turns) {}
    ~DeviceTurn() { turns_.release(); }
    DeviceTurn(const DeviceTurn&) = delete;
    DeviceTurn& operator=(const DeviceTurn&) = delete;

private:
    DeviceTurns& turns_;
};
