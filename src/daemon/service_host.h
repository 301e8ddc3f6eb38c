// Running vexa-daemon as a system service: a small service base class that
// connects one service object to the service manager (dispatcher, controls,
// status reports, event log), and the Vexa service that runs the TLS server
// on a work item of the system thread pool between start and stop.
#pragma once

#include <mutex>

#include "daemon/daemon_settings.h"
#include "platform/manual_reset_event.h"
#include "platform/service_dispatcher.h"
#include "platform/work_item.h"

// Work operations signal failures by throwing a SystemErrorCode; any other
// exception counts as a failure too.
class CServiceBase {
public:
    using SystemErrorCode = vexa::platform::SystemErrorCode;
    using EventType = vexa::platform::EventType;

    // name is borrowed and must outlive the object. The controls accepted
    // follow the three flags: stop 1, pause and continue 2, shut down 4.
    CServiceBase(
        const char* name, bool canStop = true, bool canShutdown = true,
        bool canPauseContinue = false,
        vexa::platform::IServiceManagerLink& link = vexa::platform::systemServiceManagerLink());
    CServiceBase(const CServiceBase&) = delete;
    CServiceBase& operator=(const CServiceBase&) = delete;
    virtual ~CServiceBase() = default;

    const char* Name() const { return name_; }
    vexa::platform::ServiceStatus Status() const;
    // True once the start procedure has failed and reported stopped.
    bool StartFailed() const;
    // True once the work has ended by itself with a failure (see
    // ReportWorkFailed).
    bool WorkFailed() const;

    // The service's main routine: registers the control handler, then runs
    // the start procedure. Returns at once, with an error event, when the
    // handler cannot be registered.
    void ServiceMain(int argc, char** argv);
    // Routes a control: stop, pause, continue and shutdown run their
    // procedures; every other control (interrogate included) is ignored.
    void HandleControl(uint32_t control);

    void LogEvent(const char* message, EventType type);
    // Logs "<operation> failed w/err 0x%08lx" as an error event.
    void LogErrorEvent(const char* operation, SystemErrorCode error);

    // The dispatcher's entry points; they act on the process's service.
    static void ServiceEntry(int argc, char** argv);
    static void ControlHandler(uint32_t control);

protected:
    virtual void StartWork(int /*argc*/, char** /*argv*/) {}
    virtual void StopWork() {}
    virtual void PauseWork() {}
    virtual void ContinueWork() {}
    virtual void ShutdownWork() {}

    // Sets state, exit code and wait hint, takes the check point from the
    // process-wide counter (0 for running and stopped) and reports it.
    void ReportStatus(uint32_t state, uint32_t exitCode = 0, uint32_t waitHint = 0);

    // The work has ended by itself with a failure, not because it was asked
    // to: the service reports stopped with exitCode, so that the service
    // manager sees a failed service rather than one that runs and does
    // nothing. During the start procedure the start reports stopped instead
    // of running; during a stop the stop procedure reports stopped as usual.
    void ReportWorkFailed(SystemErrorCode exitCode);

private:
    struct Procedure;
    void RunProcedure(const Procedure& procedure);
    void Start(int argc, char** argv);
    void ReportStatusLocked(uint32_t state, uint32_t exitCode, uint32_t waitHint);

    const char* name_;
    vexa::platform::IServiceManagerLink& link_;
    mutable std::mutex statusMutex_;
    vexa::platform::ServiceStatus status_;
    vexa::platform::ServiceStatusHandle statusHandle_ = 0;
    bool startFailed_ = false;
    bool workFailed_ = false;
    SystemErrorCode workExitCode_ = 0;
};

// Runs the service through the service manager's dispatcher until it has
// stopped. Returns false with *error set when the dispatcher cannot run
// (the process was not started by the service manager, or a service runs
// already in this process).
bool RunAsService(CServiceBase& service, vexa::platform::SystemErrorCode* error);

// The server that a CVexaService runs; RunServer by default.
using ServerFunction = int (*)(const DaemonSettings& settings);

class CVexaService : public CServiceBase {
public:
    CVexaService(
        const char* name, const DaemonSettings& settings, bool canStop = true,
        bool canShutdown = true, bool canPauseContinue = false,
        vexa::platform::IServiceManagerLink& link = vexa::platform::systemServiceManagerLink(),
        ServerFunction server = nullptr);
    ~CVexaService() override;

protected:
    // Logs "Vexa Daemon starting" and starts the server on a work item of
    // the system's thread pool.
    void StartWork(int argc, char** argv) override;
    // Logs "Vexa Daemon stopping", asks the server to stop and waits until
    // it has returned.
    void StopWork() override;

private:
    // Runs the server. A server that returns a failure without being asked
    // to stop ends the service: an error event "Vexa Daemon server failed
    // w/err <code>" and stopped with kErrorServiceSpecificError.
    void ServiceWorker();

    const DaemonSettings& settings_;
    ServerFunction server_;
    vexa::platform::ManualResetEvent stopped_;
    vexa::platform::WorkItem worker_;
};

// Runs the service named "vexa-daemon" with the settings until it is
// stopped. Returns 0 after the service stopped and 1 when it stopped
// because its start failed or its server ended by itself with a failure (a
// certificate that does not load, for example); when the service
// dispatcher cannot start, prints "Failed to run service, 0x%08lx\n" as an
// error line and returns 1.
int RunDaemonService(DaemonSettings& settings);
