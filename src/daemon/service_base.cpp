// CServiceBase: one service object connected to the service manager.
#include <atomic>
#include <cstdio>

#include "daemon/service_host.h"

namespace platform = vexa::platform;

namespace {

// The process's service: the dispatcher's callbacks carry no context, so
// one service per process is run through this pointer.
std::atomic<CServiceBase*> g_service{nullptr};

// Check point of every report other than running and stopped; it only ever
// counts up, across all services of the process.
std::atomic<uint32_t> g_checkPoint{1};

// Marks in a procedure's table row.
constexpr uint32_t kNoState = 0;               // no pending report / leave the state
constexpr uint32_t kStateBefore = 0xFFFFFFFF;  // report the state before the procedure

}  // namespace

// A control's procedure: report pending, do the work, report done; on a
// failure log it and report the failure state.
struct CServiceBase::Procedure {
    uint32_t pending;
    void (CServiceBase::*work)();
    uint32_t done;
    const char* operation;  // for "<operation> failed w/err 0x%08lx"
    const char* failure;    // logged when the work fails otherwise
    uint32_t onFailure;
};

CServiceBase::CServiceBase(const char* name, bool canStop, bool canShutdown, bool canPauseContinue,
                           platform::IServiceManagerLink& link)
    : name_(name != nullptr ? name : ""), link_(link) {
    status_.serviceType = platform::kServiceOwnProcess;
    status_.currentState = platform::kServiceStartPending;
    status_.controlsAccepted = (canStop ? platform::kServiceAcceptStop : 0) |
                               (canShutdown ? platform::kServiceAcceptShutdown : 0) |
                               (canPauseContinue ? platform::kServiceAcceptPauseContinue : 0);
}

platform::ServiceStatus CServiceBase::Status() const {
    std::lock_guard<std::mutex> lock(statusMutex_);
    return status_;
}

bool CServiceBase::StartFailed() const {
    std::lock_guard<std::mutex> lock(statusMutex_);
    return startFailed_;
}

bool CServiceBase::WorkFailed() const {
    std::lock_guard<std::mutex> lock(statusMutex_);
    return workFailed_;
}

void CServiceBase::ReportStatus(uint32_t state, uint32_t exitCode, uint32_t waitHint) {
    std::lock_guard<std::mutex> lock(statusMutex_);
    ReportStatusLocked(state, exitCode, waitHint);
}

void CServiceBase::ReportWorkFailed(SystemErrorCode exitCode) {
    std::lock_guard<std::mutex> lock(statusMutex_);
    workFailed_ = true;
    workExitCode_ = exitCode;
    // Start pending: the start procedure reports it. Stop pending: the stop
    // procedure ends in stopped anyway.
    const uint32_t state = status_.currentState;
    if (state == platform::kServiceRunning || state == platform::kServicePaused ||
        state == platform::kServicePausePending || state == platform::kServiceContinuePending) {
        ReportStatusLocked(platform::kServiceStopped, exitCode, 0);
    }
}

void CServiceBase::ReportStatusLocked(uint32_t state, uint32_t exitCode, uint32_t waitHint) {
    status_.currentState = state;
    status_.exitCode = exitCode;
    status_.waitHint = waitHint;
    status_.checkPoint = state == platform::kServiceRunning || state == platform::kServiceStopped
                             ? 0
                             : g_checkPoint++;
    link_.setStatus(statusHandle_, status_);
}

void CServiceBase::LogEvent(const char* message, EventType type) {
    link_.logEvent(name_, type, message);
}

void CServiceBase::LogErrorEvent(const char* operation, SystemErrorCode error) {
    char message[260];
    std::snprintf(message, sizeof message, "%s failed w/err 0x%08lx", operation,
                  static_cast<unsigned long>(error));
    LogEvent(message, EventType::Error);
}

void CServiceBase::ServiceMain(int argc, char** argv) {
    SystemErrorCode error = platform::kErrorSuccess;
    platform::ServiceStatusHandle handle =
        link_.registerControlHandler(name_, &CServiceBase::ControlHandler, &error);
    if (handle == 0) {
        // Without a handle no status can be reported: say why and return;
        // the dispatcher then ends with the same code.
        LogErrorEvent("Service Start", error);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(statusMutex_);
        statusHandle_ = handle;
    }
    Start(argc, argv);
}

void CServiceBase::Start(int argc, char** argv) {
    try {
        ReportStatus(platform::kServiceStartPending);
        StartWork(argc, argv);
        std::lock_guard<std::mutex> lock(statusMutex_);
        if (workFailed_) {
            ReportStatusLocked(platform::kServiceStopped, workExitCode_, 0);
        } else {
            ReportStatusLocked(platform::kServiceRunning, 0, 0);
        }
        return;
    } catch (SystemErrorCode error) {
        LogErrorEvent("Service Start", error);
        {
            std::lock_guard<std::mutex> lock(statusMutex_);
            startFailed_ = true;
        }
        ReportStatus(platform::kServiceStopped, error);
    } catch (...) {
        LogEvent("Service failed to start.", EventType::Error);
        {
            std::lock_guard<std::mutex> lock(statusMutex_);
            startFailed_ = true;
        }
        ReportStatus(platform::kServiceStopped);
    }
}

void CServiceBase::RunProcedure(const Procedure& procedure) {
    const uint32_t stateBefore = Status().currentState;
    try {
        if (procedure.pending != kNoState) {
            ReportStatus(procedure.pending);
        }
        (this->*procedure.work)();
        ReportStatus(procedure.done);
        return;
    } catch (SystemErrorCode error) {
        LogErrorEvent(procedure.operation, error);
    } catch (...) {
        LogEvent(procedure.failure, EventType::Error);
    }
    if (procedure.onFailure == kStateBefore) {
        ReportStatus(stateBefore);
    } else if (procedure.onFailure != kNoState) {
        ReportStatus(procedure.onFailure);
    }
}

void CServiceBase::HandleControl(uint32_t control) {
    struct Route {
        uint32_t control;
        Procedure procedure;
    };
    static const Route kRoutes[] = {
        {platform::kServiceControlStop,
         {platform::kServiceStopPending, &CServiceBase::StopWork, platform::kServiceStopped,
          "Service Stop", "Service failed to stop.", kStateBefore}},
        {platform::kServiceControlPause,
         {platform::kServicePausePending, &CServiceBase::PauseWork, platform::kServicePaused,
          "Service Pause", "Service failed to pause.", platform::kServiceRunning}},
        {platform::kServiceControlContinue,
         {platform::kServiceContinuePending, &CServiceBase::ContinueWork, platform::kServiceRunning,
          "Service Continue", "Service failed to resume.", platform::kServicePaused}},
        {platform::kServiceControlShutdown,
         {kNoState, &CServiceBase::ShutdownWork, platform::kServiceStopped, "Service Shutdown",
          "Service failed to shut down.", kNoState}},
    };
    for (const Route& route : kRoutes) {
        if (route.control == control) {
            RunProcedure(route.procedure);
            return;
        }
    }
}

void CServiceBase::ServiceEntry(int argc, char** argv) {
    if (CServiceBase* service = g_service.load()) {
        service->ServiceMain(argc, argv);
    }
}

void CServiceBase::ControlHandler(uint32_t control) {
    if (CServiceBase* service = g_service.load()) {
        service->HandleControl(control);
    }
}

bool RunAsService(CServiceBase& service, platform::SystemErrorCode* error) {
    CServiceBase* none = nullptr;
    if (!g_service.compare_exchange_strong(none, &service)) {
        *error = platform::kErrorServiceAlreadyRunning;
        return false;
    }
    bool ran = platform::runServiceDispatcher(service.Name(), &CServiceBase::ServiceEntry, error);
    g_service.store(nullptr);
    return ran;
}
