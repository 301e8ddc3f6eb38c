#include "daemon/service_host.h"

#include "daemon/console.h"

// Placeholder until the service host lands: says so and fails.
int RunDaemonService(DaemonSettings& /*settings*/) {
    ErrorLine("Running as a service is not available in this build.");
    return 1;
}
