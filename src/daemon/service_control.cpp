// The console commands that install, start, stop and remove vexa-daemon as
// a system service. Each prints one outcome line; the codes in the lines are
// the service manager's (platform/service_errors.h).
#include "daemon/service_control.h"

#include <string>

#include "daemon/console.h"
#include "platform/service_manager.h"

namespace {

namespace platform = vexa::platform;
using platform::ServiceManagerAccess;
using platform::SystemErrorCode;

constexpr const char* kServiceName = "vexa-daemon";
constexpr const char* kServiceDescription = "Vexa network daemon";

long asLong(SystemErrorCode code) {
    return static_cast<long>(code);
}
int asInt(SystemErrorCode code) {
    return static_cast<int>(code);
}

// Opens the service manager and the service, then asks `action` of it; the
// first step that fails is named (as `actionName` for the action) with its
// code, and `done` is printed after a success.
int controlService(SystemErrorCode (*action)(const std::string&), const char* actionName,
                   const char* done) {
    if (SystemErrorCode error = platform::openServiceManager(ServiceManagerAccess::AllAccess)) {
        ErrorLinef("OpenSCManager failed (%d)", asInt(error));
        return 1;
    }
    if (SystemErrorCode error = platform::openService(kServiceName)) {
        ErrorLinef("OpenService failed (%d)", asInt(error));
        return 1;
    }
    if (SystemErrorCode error = action(kServiceName)) {
        ErrorLinef("%s failed (%d)", actionName, asInt(error));
        return 1;
    }
    InfoLine(done);
    return 0;
}

}  // namespace

int InstallService() {
    std::string executable;
    if (SystemErrorCode error = platform::serviceExecutablePath(executable)) {
        ErrorLinef("Cannot install service (%ld)", asLong(error));
        return 1;
    }
    if (SystemErrorCode error = platform::openServiceManager(ServiceManagerAccess::CreateService)) {
        ErrorLinef("OpenSCManager failed (%ld)", asLong(error));
        return 1;
    }
    // The service runs "<executable> service" and reads its settings from
    // "vexa-daemon.json" when it starts; nothing else is stored.
    const platform::ServiceDefinition definition{
        kServiceName, kServiceDescription, executable, {"service"}};
    if (SystemErrorCode error = platform::createService(definition)) {
        ErrorLinef("CreateService failed (%ld)", asLong(error));
        return 1;
    }
    InfoLine("Service installed successfully");
    return 0;
}

int StartInstalledService(int /*argc*/, char** /*argv*/) {
    // systemd passes no start arguments to a service; the service does not
    // use them anyway.
    return controlService(&platform::startService, "StartService", "Service started.");
}

int StopInstalledService() {
    return controlService(&platform::stopService, "ControlService", "Service stopped.");
}

int UninstallService() {
    // A running service is not stopped first: it keeps running until it is
    // stopped, and systemd forgets it then.
    int status = 1;
    if (SystemErrorCode error = platform::openServiceManager(ServiceManagerAccess::AllAccess)) {
        ErrorLinef("OpenSCManager failed (%d)\n", asInt(error));
    } else if (SystemErrorCode error = platform::openService(kServiceName)) {
        ErrorLinef("OpenService failed (%d)\n", asInt(error));
    } else if (SystemErrorCode error = platform::deleteService(kServiceName)) {
        ErrorLinef("DeleteService failed (%d)", asInt(error));
    } else {
        InfoLine("Service deleted successfully");
        status = 0;
    }
    InfoLine("Service uninstalled.");
    return status;
}
