#include "daemon/server.h"

#include "daemon/console.h"

std::atomic<bool> StopRequested{false};

// Placeholder until the TLS listener lands: says so and fails.
int RunServer(const DaemonSettings& /*settings*/) {
    ErrorLine("The TLS server is not available in this build.");
    return 1;
}
