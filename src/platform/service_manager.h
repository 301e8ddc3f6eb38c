// Installing and controlling a system service. On Linux the service manager
// is systemd: a service is a unit file "<name>.service" in the unit
// directory, and start, stop, enable and disable go through systemctl. On
// Windows it is the Service Control Manager, and the codes are its own.
// Every operation returns kErrorSuccess (0) or a code of service_errors.h;
// none waits for the service to reach a new state.
#pragma once

#include <string>
#include <vector>

#include "platform/service_errors.h"

namespace vexa::platform {

#ifndef _WIN32
// Environment variables that point the service commands elsewhere, for tests
// and staged installs: the unit directory (default "/etc/systemd/system")
// and the systemctl program (default "systemctl", looked up in PATH).
inline constexpr const char* kServiceUnitDirectoryVariable = "VEXA_SERVICE_UNIT_DIR";
inline constexpr const char* kSystemctlVariable = "VEXA_SYSTEMCTL";

// The unit directory, ending in '/'.
std::string serviceUnitDirectory();
std::string systemctlProgram();
#endif

// What a service is made of.
struct ServiceDefinition {
    std::string name;         // the unit is "<name>.service"
    std::string description;  // one line
    std::string executable;   // absolute path
    std::vector<std::string> arguments;
};

// Full path of the running executable, checked to be usable in a unit file
// (absolute; no control characters, quotes or backslashes).
SystemErrorCode serviceExecutablePath(std::string& path);

#ifndef _WIN32
// The unit file text of a definition. Fails with kErrorBadPathname when the
// executable path or an argument cannot be written into a unit file.
SystemErrorCode formatServiceUnit(const ServiceDefinition& definition, std::string& text);
#endif

// What the caller is going to do with the service manager.
enum class ServiceManagerAccess {
    Connect,        // look services up
    CreateService,  // add a service
    AllAccess,      // add, start, stop and delete services
};

// Checks that the service manager can be used for the access asked for:
// creating and all access need a writable unit directory.
SystemErrorCode openServiceManager(ServiceManagerAccess access);

// Writes the unit file (never over an existing one: kErrorServiceExists),
// reloads systemd and enables the unit so that it starts at boot. A unit
// file whose enabling failed is removed again.
SystemErrorCode createService(const ServiceDefinition& definition);

// kErrorServiceDoesNotExist unless the service's unit file is installed.
SystemErrorCode openService(const std::string& name);

// Asks systemd to start the service; kErrorServiceAlreadyRunning when it is
// active or starting.
SystemErrorCode startService(const std::string& name);

// Asks systemd to stop the service; kErrorServiceNotActive when it is not
// running, kErrorServiceCannotAcceptControl while it is stopping.
SystemErrorCode stopService(const std::string& name);

// Disables the service and removes its unit file. A running service keeps
// running until it stops; systemd then forgets it.
SystemErrorCode deleteService(const std::string& name);

#ifndef _WIN32
// The code that a failed systemctl run stands for, from its exit status and
// what it wrote to standard error: kErrorAccessDenied,
// kErrorServiceDoesNotExist, kErrorServiceDisabled, or
// kErrorExceptionInService for any other failure.
SystemErrorCode systemctlFailureCode(int exitStatus, const std::string& errorText);
#endif

}  // namespace vexa::platform
