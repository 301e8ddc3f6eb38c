#include "daemon/daemon_settings.h"
#include "daemon/server.h"

// Placeholder until the start-up logic lands.
int DaemonMain(int, char**) {
    DaemonSettings settings;
    return RunServer(settings);
}
