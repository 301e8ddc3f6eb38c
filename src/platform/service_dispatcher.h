// The service side of the service manager: the dispatcher that runs a
// service's main routine and hands it its controls, status reports and the
// event log. The records and codes keep the values of the Windows service
// manager; on Windows these are its own calls (StartServiceCtrlDispatcher,
// RegisterServiceCtrlHandler, SetServiceStatus, ReportEvent). On Linux the
// manager is systemd:
// - the dispatcher runs only under systemd's notify protocol (NOTIFY_SOCKET);
// - SIGTERM is the stop control;
// - status reports become STATUS= lines, with READY=1 for running and
//   STOPPING=1 for stop pending;
// - event-log entries go to syslog under the source's name.
#pragma once

#include <cstdint>
#include <string>

#include "platform/service_errors.h"

namespace vexa::platform {

// Service states.
inline constexpr uint32_t kServiceStopped = 1;
inline constexpr uint32_t kServiceStartPending = 2;
inline constexpr uint32_t kServiceStopPending = 3;
inline constexpr uint32_t kServiceRunning = 4;
inline constexpr uint32_t kServiceContinuePending = 5;
inline constexpr uint32_t kServicePausePending = 6;
inline constexpr uint32_t kServicePaused = 7;

// Controls sent to a service.
inline constexpr uint32_t kServiceControlStop = 1;
inline constexpr uint32_t kServiceControlPause = 2;
inline constexpr uint32_t kServiceControlContinue = 3;
inline constexpr uint32_t kServiceControlInterrogate = 4;
inline constexpr uint32_t kServiceControlShutdown = 5;

// Controls a service accepts (bits).
inline constexpr uint32_t kServiceAcceptStop = 1;
inline constexpr uint32_t kServiceAcceptPauseContinue = 2;
inline constexpr uint32_t kServiceAcceptShutdown = 4;

inline constexpr uint32_t kServiceOwnProcess = 0x10;

struct ServiceStatus {
    uint32_t serviceType = 0;
    uint32_t currentState = 0;
    uint32_t controlsAccepted = 0;
    uint32_t exitCode = 0;
    uint32_t serviceSpecificExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;  // milliseconds
};

enum class EventType : uint16_t { Error = 1, Information = 4 };

using ServiceMainFunction = void (*)(int argc, char** argv);
using ServiceControlHandler = void (*)(uint32_t control);
// Nonzero once a control handler is registered.
using ServiceStatusHandle = uintptr_t;

// Runs the service serviceName of this process: calls serviceMain on a
// thread of its own with the arguments {serviceName}, delivers SIGTERM as a
// stop control to the registered handler on the calling thread, and returns
// true once the service has reported stopped and its main routine has
// returned. Controls wait while the service is start pending or stop
// pending. Returns false with *error set when the process was not started
// by systemd (kErrorFailedServiceControllerConnect), when a dispatcher runs
// already (kErrorServiceAlreadyRunning), or when the main routine returned
// without registering a control handler (the registration's code).
// SIGTERM stays blocked in the process afterwards, so that a late one
// cannot cut short the orderly end.
// On Windows this is StartServiceCtrlDispatcher: the manager calls
// serviceMain on its own thread with the start arguments, controls come to
// the handler on the calling thread, and the failures are the manager's
// codes (1063 when the process was not started by it).
bool runServiceDispatcher(const char* serviceName, ServiceMainFunction serviceMain,
                          SystemErrorCode* error);

// Registers the handler of the service that the dispatcher runs. Returns 0
// with *error set when no dispatcher runs that service.
ServiceStatusHandle registerServiceControlHandler(const char* serviceName,
                                                  ServiceControlHandler handler,
                                                  SystemErrorCode* error);

// Reports the service's status to systemd. Returns false when the handle is
// not the registered one or the notification could not be sent.
bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

#ifndef _WIN32
// The notify-protocol message for a status, e.g. "READY=1\nSTATUS=Running".
std::string serviceStatusNotification(const ServiceStatus& status);
#endif

// Writes one event-log entry under the source's name.
void reportServiceEvent(const char* source, EventType type, const char* message);

// The service manager as a service object sees it. The system's link goes
// to the functions above; tests put an in-memory twin in its place.
class IServiceManagerLink {
public:
    virtual ~IServiceManagerLink() = default;
    virtual ServiceStatusHandle registerControlHandler(const char* serviceName,
                                                       ServiceControlHandler handler,
                                                       SystemErrorCode* error) = 0;
    virtual void setStatus(ServiceStatusHandle handle, const ServiceStatus& status) = 0;
    virtual void logEvent(const char* source, EventType type, const char* message) = 0;
};

IServiceManagerLink& systemServiceManagerLink();

}  // namespace vexa::platform
