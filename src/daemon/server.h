// The daemon's TLS server and the flag that stops it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "daemon/daemon_settings.h"
#include "daemon/relay.h"
#include "platform/wake_event.h"

// The server's stop request: set once by the service's stop handler (tests
// clear it again). Setting it wakes every thread of the server that waits
// for a connection, a handshake record, its turn at the device or an idle
// client's next request, so that an idle daemon sleeps without looking at
// the flag periodically and still stops at once.
class StopFlag {
public:
    StopFlag& operator=(bool value);
    bool load() const { return value_.load(); }
    // Readable while a stop is requested.
    int descriptor() const { return event_.descriptor(); }

private:
    std::atomic<bool> value_{false};
    vexa::platform::WakeEvent event_;
};
extern StopFlag StopRequested;

// What a run of the server may change from the daemon's fixed behaviour.
// The daemon uses the defaults; tests that run the server in-process lower
// the read time-out and learn when clients can connect.
struct ServerOptions {
    // Bound on every TLS read of a client connection, and on the silence
    // between two requests.
    uint32_t readTimeoutMs = 60000;
    // A TLS handshake must be complete within this; it never holds the device.
    int handshakeDeadlineMs = 10000;
    // A client idle this long while another waits for the device is ended
    // (kHandOverGraceMs, relay.h). The daemon clears the device when a
    // client leaves; the module opens its sessions again and logs in again
    // at its next connection, so a long-running application keeps its login.
    int handOverGraceMs = kHandOverGraceMs;
    // Called once the socket listens and TLS is ready, before the first accept.
    std::function<void()> onReady;
};

// Serves TLS clients until StopRequested: handshakes run side by side, and
// the clients take turns at the device in the order their handshakes ended. Returns 0 after
// a requested stop, otherwise the failing set-up step's nonzero result (a
// TLS-library code, or the positive count of certificates that failed to
// parse), after two error lines.
int RunServer(const DaemonSettings& settings);
int RunServer(const DaemonSettings& settings, const ServerOptions& options);
