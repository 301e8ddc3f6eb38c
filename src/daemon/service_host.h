// Running vexa-daemon as a system service.
#pragma once

#include "daemon/daemon_settings.h"

// Runs the service named "vexa-daemon" with the settings until it is
// stopped. Returns 0 after the service stopped; when the service dispatcher
// cannot start, prints "Failed to run service, 0x%08lx\n" as an error line
// and returns 1.
int RunDaemonService(DaemonSettings& settings);
