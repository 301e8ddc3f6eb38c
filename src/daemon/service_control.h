// Managing vexa-daemon as a system service. Each command prints one
// outcome line and returns a status; none waits for the service to change
// state.
#pragma once

// Returns 0 when the start request was accepted, 1 otherwise.
int StartInstalledService(int argc, char** argv);
// Returns 0 when the stop request was accepted, 1 otherwise.
int StopInstalledService();
// Install and uninstall return 1 when the service manager refused the
// change, so that scripts see the failure their error line describes; 0
// otherwise.
int UninstallService();
int InstallService();
