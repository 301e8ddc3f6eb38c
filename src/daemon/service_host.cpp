// CVexaService: the TLS server as a system service, and the run of the
// service named "vexa-daemon".
#include "daemon/service_host.h"

#include <system_error>

#include "daemon/console.h"
#include "daemon/server.h"

namespace platform = vexa::platform;

namespace {

constexpr const char* kServiceName = "vexa-daemon";

int RunDaemonServer(const DaemonSettings& settings) {
    return RunServer(settings);
}

}  // namespace

CVexaService::CVexaService(const char* name, const DaemonSettings& settings, bool canStop,
                           bool canShutdown, bool canPauseContinue,
                           platform::IServiceManagerLink& link, ServerFunction server)
    : CServiceBase(name, canStop, canShutdown, canPauseContinue, link),
      settings_(settings),
      server_(server != nullptr ? server : &RunDaemonServer) {}

CVexaService::~CVexaService() {
    // A service that was shut down without a stop still has its server
    // running; the process must not end under it.
    if (worker_.started()) {
        StopRequested = true;
        worker_.wait();
    }
}

void CVexaService::StartWork(int /*argc*/, char** /*argv*/) {
    LogEvent("Vexa Daemon starting", EventType::Information);
    if (SystemErrorCode error = worker_.start([this] { ServiceWorker(); })) {
        throw error;
    }
}

void CVexaService::ServiceWorker() {
    // The server's failure lines have gone to the standard streams (the
    // journal); the service manager learns of the failure from the status.
    int result = -1;
    try {
        result = server_(settings_);
    } catch (...) {
        // An exception must not end the process; it counts as a failure.
    }
    stopped_.set();
    if (result != 0 && !StopRequested.load()) {
        LogErrorEvent("Vexa Daemon server", static_cast<SystemErrorCode>(result));
        ReportWorkFailed(platform::kErrorServiceSpecificError);
    }
}

void CVexaService::StopWork() {
    LogEvent("Vexa Daemon stopping", EventType::Information);
    StopRequested = true;
    // The server sees the flag between clients: at once when idle, after
    // the connected client has left otherwise.
    if (worker_.started()) {
        try {
            stopped_.wait();
        } catch (const std::system_error& e) {
            throw static_cast<SystemErrorCode>(e.code().value());
        }
        worker_.wait();
    }
}

int RunDaemonService(DaemonSettings& settings) {
    CVexaService service(kServiceName, settings);
    platform::SystemErrorCode error = platform::kErrorSuccess;
    if (!RunAsService(service, &error)) {
        ErrorLinef("Failed to run service, 0x%08lx\n", static_cast<unsigned long>(error));
        return 1;
    }
    // systemd learns how a service ended from its exit status alone.
    return service.StartFailed() || service.WorkFailed() ? 1 : 0;
}
