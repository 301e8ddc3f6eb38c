// The service dispatcher, control handler, status reports and event log of
// the Windows Service Control Manager.
#include <windows.h>

#include "platform/service_dispatcher.h"

namespace vexa::platform {

namespace {

// The manager's callbacks carry no context: one service per process.
ServiceMainFunction g_serviceMain = nullptr;
ServiceControlHandler g_controlHandler = nullptr;

void WINAPI serviceMainTrampoline(DWORD argc, LPSTR* argv) {
    if (g_serviceMain != nullptr) {
        g_serviceMain(static_cast<int>(argc), argv);
    }
}

void WINAPI controlHandlerTrampoline(DWORD control) {
    if (g_controlHandler != nullptr) {
        g_controlHandler(control);
    }
}

}  // namespace

bool runServiceDispatcher(const char* serviceName, ServiceMainFunction serviceMain,
                          SystemErrorCode* error) {
    if (g_serviceMain != nullptr) {
        *error = kErrorServiceAlreadyRunning;
        return false;
    }
    g_serviceMain = serviceMain;
    // The table is read while the dispatcher runs.
    char* name = const_cast<char*>(serviceName);
    SERVICE_TABLE_ENTRYA table[] = {{name, &serviceMainTrampoline}, {nullptr, nullptr}};
    const BOOL ran = StartServiceCtrlDispatcherA(table);
    if (!ran) {
        *error = GetLastError();
    }
    g_serviceMain = nullptr;
    return ran != FALSE;
}

ServiceStatusHandle registerServiceControlHandler(const char* serviceName,
                                                  ServiceControlHandler handler,
                                                  SystemErrorCode* error) {
    g_controlHandler = handler;
    SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerA(serviceName, &controlHandlerTrampoline);
    if (handle == nullptr) {
        *error = GetLastError();
        return 0;
    }
    return reinterpret_cast<ServiceStatusHandle>(handle);
}

bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
    SERVICE_STATUS record{};
    record.dwServiceType = status.serviceType;
    record.dwCurrentState = status.currentState;
    record.dwControlsAccepted = status.controlsAccepted;
    record.dwWin32ExitCode = status.exitCode;
    record.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
    record.dwCheckPoint = status.checkPoint;
    record.dwWaitHint = status.waitHint;
    return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &record) != FALSE;
}

void reportServiceEvent(const char* source, EventType type, const char* message) {
    HANDLE eventSource = RegisterEventSourceA(nullptr, source);
    if (eventSource == nullptr) {
        return;  // no event log: the entry is dropped
    }
    const char* strings[2] = {source, message};
    ReportEventA(eventSource, static_cast<WORD>(type), 0, 0, nullptr, 2, 0, strings, nullptr);
    DeregisterEventSource(eventSource);
}

}  // namespace vexa::platform
