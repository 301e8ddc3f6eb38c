// The daemon's TLS server and the flag that stops it.
#pragma once

#include <atomic>

#include "daemon/daemon_settings.h"

// Set once by the service's stop handler; read by the accept loop.
extern std::atomic<bool> StopRequested;

// Serves TLS clients until StopRequested. Returns 0 after a requested stop,
// otherwise the failing step's nonzero result.
int RunServer(const DaemonSettings& settings);
