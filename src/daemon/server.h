// The daemon's TLS server and the flag that stops it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "daemon/daemon_settings.h"

// Set once by the service's stop handler; read by the accept loop.
extern std::atomic<bool> StopRequested;

// What a run of the server may change from the daemon's fixed behaviour.
// The daemon uses the defaults; tests that run the server in-process lower
// the read time-out and learn when clients can connect.
struct ServerOptions {
    // Bound on every TLS read of a client connection, handshake included.
    uint32_t readTimeoutMs = 60000;
    // Called once the socket listens and TLS is ready, before the first accept.
    std::function<void()> onReady;
};

// Serves TLS clients one after another until StopRequested. Returns 0 after
// a requested stop, otherwise the failing set-up step's nonzero result (a
// TLS-library code, or the positive count of certificates that failed to
// parse), after two error lines.
int RunServer(const DaemonSettings& settings);
int RunServer(const DaemonSettings& settings, const ServerOptions& options);
