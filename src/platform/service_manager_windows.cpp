// Service installation and control through the Windows Service Control
// Manager. Every failure is the system's own last error code.
#include <windows.h>

#include "platform/platform.h"
#include "platform/service_manager.h"

namespace vexa::platform {

namespace {

// Owns a handle of the Service Control Manager or of a service.
class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    ~ScHandle() {
        if (handle_ != nullptr) {
            CloseServiceHandle(handle_);
        }
    }
    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

DWORD managerRights(ServiceManagerAccess access) {
    switch (access) {
        case ServiceManagerAccess::Connect:
            return SC_MANAGER_CONNECT;
        case ServiceManagerAccess::CreateService:
            return SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE;
        case ServiceManagerAccess::AllAccess:
            break;
    }
    return SC_MANAGER_ALL_ACCESS;
}

SystemErrorCode lastError() {
    const DWORD error = GetLastError();
    return error != 0 ? error : kErrorGenFailure;
}

// Opens the local manager's default database.
SystemErrorCode openManager(ServiceManagerAccess access, SC_HANDLE& manager) {
    manager = OpenSCManagerA(nullptr, nullptr, managerRights(access));
    return manager != nullptr ? kErrorSuccess : lastError();
}

// Runs step with the named service opened with rights.
template <class Step>
SystemErrorCode withService(const std::string& name, DWORD rights, Step step) {
    SC_HANDLE rawManager = nullptr;
    if (SystemErrorCode error = openManager(ServiceManagerAccess::AllAccess, rawManager)) {
        return error;
    }
    ScHandle manager(rawManager);
    ScHandle service(OpenServiceA(manager.get(), name.c_str(), rights));
    if (!service) {
        return lastError();
    }
    return step(service.get());
}

// The command line the manager starts: the quoted executable, then the
// arguments, each quoted when it holds a blank.
std::string commandLine(const ServiceDefinition& definition) {
    std::string line = "\"" + definition.executable + "\"";
    for (const std::string& argument : definition.arguments) {
        const bool quote = argument.empty() || argument.find_first_of(" \t") != std::string::npos;
        line += quote ? " \"" + argument + "\"" : " " + argument;
    }
    return line;
}

}  // namespace

SystemErrorCode serviceExecutablePath(std::string& path) {
    path = executablePath();
    if (path.empty()) {
        return lastError();
    }
    // A quote cannot be written into the command line the manager keeps.
    return path.find('"') == std::string::npos ? kErrorSuccess : kErrorBadPathname;
}

SystemErrorCode openServiceManager(ServiceManagerAccess access) {
    SC_HANDLE manager = nullptr;
    SystemErrorCode error = openManager(access, manager);
    ScHandle closer(manager);
    return error;
}

SystemErrorCode createService(const ServiceDefinition& definition) {
    SC_HANDLE rawManager = nullptr;
    if (SystemErrorCode error = openManager(ServiceManagerAccess::CreateService, rawManager)) {
        return error;
    }
    ScHandle manager(rawManager);
    const std::string line = commandLine(definition);
    // Own process, started at boot, under the low-privileged local service
    // account (no password): the daemon needs the network and the device,
    // nothing of the machine's administration.
    ScHandle service(CreateServiceA(
        manager.get(), definition.name.c_str(), definition.description.c_str(), SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, line.c_str(), nullptr,
        nullptr, "\0", "NT AUTHORITY\\LocalService", nullptr));
    if (!service) {
        return lastError();
    }
    // The description is a convenience: its failure leaves the service as
    // it is.
    SERVICE_DESCRIPTIONA description{};
    std::string text = definition.description;
    description.lpDescription = text.data();
    ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    return kErrorSuccess;
}

SystemErrorCode openService(const std::string& name) {
    return withService(name, SERVICE_QUERY_STATUS, [](SC_HANDLE) { return kErrorSuccess; });
}

SystemErrorCode startService(const std::string& name) {
    return withService(name, SERVICE_START, [](SC_HANDLE service) {
        return StartServiceA(service, 0, nullptr) ? kErrorSuccess : lastError();
    });
}

SystemErrorCode stopService(const std::string& name) {
    return withService(name, SERVICE_STOP, [](SC_HANDLE service) {
        SERVICE_STATUS status{};
        return ControlService(service, SERVICE_CONTROL_STOP, &status) ? kErrorSuccess : lastError();
    });
}

SystemErrorCode deleteService(const std::string& name) {
    return withService(name, DELETE, [](SC_HANDLE service) {
        return DeleteService(service) ? kErrorSuccess : lastError();
    });
}

}  // namespace vexa::platform
