#include "daemon/service_control.h"

#include "daemon/console.h"

// Placeholders until service control lands: each says so and fails.
namespace {
void notAvailable() { ErrorLine("Service control is not available in this build."); }
}  // namespace

int StartInstalledService(int, char**) {
    notAvailable();
    return 1;
}

int StopInstalledService() {
    notAvailable();
    return 1;
}

void UninstallService() { notAvailable(); }

void InstallService() { notAvailable(); }
