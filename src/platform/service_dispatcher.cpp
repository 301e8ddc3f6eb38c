// The service dispatcher over systemd's notify protocol, SIGTERM as the stop
// control, and syslog as the event log. The only file that includes the
// systemd headers.
#include "platform/service_dispatcher.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/file_descriptor.h"

namespace vexa::platform {

namespace {

constexpr ServiceStatusHandle kRegisteredHandle = 1;

// What the running dispatcher shares with the service's threads. The
// platform's callbacks carry no context, so there is one per process.
struct Dispatcher {
    std::mutex mutex;
    bool running = false;
    std::string serviceName;
    ServiceControlHandler handler = nullptr;
    SystemErrorCode registrationError = kErrorServiceNotInExe;
    uint32_t state = 0;  // last reported, 0 before the first report
    bool mainReturned = false;
    int wakeFd = -1;  // eventfd that wakes the dispatcher thread

    // Called with the mutex held.
    void wake() const {
        if (wakeFd >= 0) {
            uint64_t one = 1;
            ssize_t ignored = write(wakeFd, &one, sizeof one);
            (void)ignored;  // the counter only saturates; a wake-up is pending then
        }
    }
};

Dispatcher& dispatcher() {
    static Dispatcher instance;
    return instance;
}

// The states in which a service takes controls; while it starts or stops,
// controls wait.
bool acceptsControls(uint32_t state) {
    return state == kServiceRunning || state == kServicePaused || state == kServicePausePending ||
           state == kServiceContinuePending;
}

bool isPending(uint32_t state) {
    return state == kServiceStartPending || state == kServiceStopPending ||
           state == kServiceContinuePending || state == kServicePausePending;
}

const char* stateText(uint32_t state) {
    static constexpr const char* kTexts[] = {"Unknown", "Stopped",  "Starting", "Stopping",
                                             "Running", "Resuming", "Pausing",  "Paused"};
    return state < sizeof kTexts / sizeof kTexts[0] ? kTexts[state] : kTexts[0];
}

// Waits until the signal or the wake-up descriptor is readable and drains
// it. Returns true when SIGTERM arrived.
bool waitForEvent(int signalFd, int wakeFd) {
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
        return false;
    }
    bool terminate = false;
    if (fds[0].revents & POLLIN) {
        signalfd_siginfo info{};
        if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info) &&
            info.ssi_signo == SIGTERM) {
            terminate = true;
        }
    }
    if (fds[1].revents & POLLIN) {
        uint64_t count = 0;
        ssize_t ignored = read(wakeFd, &count, sizeof count);
        (void)ignored;
    }
    return terminate;
}

// Runs the control loop until the service has stopped and its main routine
// has returned. Returns kErrorSuccess, or the registration's code when the
// main routine returned without a control handler.
SystemErrorCode dispatchControls(Dispatcher& d, int signalFd) {
    bool stopWaiting = false;
    for (;;) {
        ServiceControlHandler handler;
        uint32_t state;
        bool mainReturned;
        {
            std::lock_guard<std::mutex> lock(d.mutex);
            handler = d.handler;
            state = d.state;
            mainReturned = d.mainReturned;
        }
        if (mainReturned && handler == nullptr) {
            std::lock_guard<std::mutex> lock(d.mutex);
            return d.registrationError;
        }
        if (mainReturned && state == kServiceStopped) {
            return kErrorSuccess;
        }
        if (stopWaiting && handler != nullptr && acceptsControls(state)) {
            stopWaiting = false;
            handler(kServiceControlStop);
            continue;
        }
        if (waitForEvent(signalFd, d.wakeFd)) {
            stopWaiting = true;
        }
    }
}

}  // namespace

bool runServiceDispatcher(const char* serviceName, ServiceMainFunction serviceMain,
                          SystemErrorCode* error) {
    const char* notifySocket = std::getenv("NOTIFY_SOCKET");
    if (notifySocket == nullptr || *notifySocket == '\0') {
        *error = kErrorFailedServiceControllerConnect;
        return false;
    }
    Dispatcher& d = dispatcher();
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (d.running) {
            *error = kErrorServiceAlreadyRunning;
            return false;
        }
        d.running = true;
        d.serviceName = serviceName;
        d.handler = nullptr;
        d.registrationError = kErrorServiceNotInExe;
        d.state = 0;
        d.mainReturned = false;
    }
    auto finish = [&d](SystemErrorCode code, SystemErrorCode* out) {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.running = false;
        d.handler = nullptr;
        d.wakeFd = -1;
        *out = code;
        return code == kErrorSuccess;
    };

    // Blocked before any service thread exists, so that every thread
    // inherits the mask and SIGTERM reaches only the signal descriptor.
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &terminate, nullptr);
    FileDescriptor signalFd(signalfd(-1, &terminate, SFD_CLOEXEC | SFD_NONBLOCK));
    FileDescriptor wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (signalFd.get() < 0 || wakeFd.get() < 0) {
        return finish(systemErrorFromErrno(errno), error);
    }
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.wakeFd = wakeFd.get();
    }

    std::string argument = serviceName;
    std::thread mainThread;
    try {
        mainThread = std::thread([&d, &argument, serviceMain] {
            char* argv[] = {argument.data(), nullptr};
            serviceMain(1, argv);
            std::lock_guard<std::mutex> lock(d.mutex);
            d.mainReturned = true;
            d.wake();
        });
    } catch (const std::system_error& e) {
        return finish(systemErrorFromErrno(e.code().value()), error);
    }
    SystemErrorCode code = dispatchControls(d, signalFd.get());
    mainThread.join();
    return finish(code, error);
}

ServiceStatusHandle registerServiceControlHandler(const char* serviceName,
                                                  ServiceControlHandler handler,
                                                  SystemErrorCode* error) {
    Dispatcher& d = dispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.running || serviceName == nullptr || d.serviceName != serviceName ||
        handler == nullptr) {
        *error = kErrorServiceNotInExe;
        if (d.running) {
            d.registrationError = *error;
        }
        return 0;
    }
    d.handler = handler;
    d.wake();
    return kRegisteredHandle;
}

std::string serviceStatusNotification(const ServiceStatus& status) {
    std::string message;
    if (status.currentState == kServiceRunning) {
        message = "READY=1\n";
    } else if (status.currentState == kServiceStopPending) {
        message = "STOPPING=1\n";
    }
    message += "STATUS=";
    message += stateText(status.currentState);
    char detail[64];
    if (isPending(status.currentState)) {
        std::snprintf(detail, sizeof detail, " (check point %" PRIu32 ")", status.checkPoint);
        message += detail;
    } else if (status.currentState == kServiceStopped && status.exitCode != 0) {
        std::snprintf(detail, sizeof detail, " (exit code 0x%08" PRIx32 ")", status.exitCode);
        message += detail;
    }
    if (status.waitHint != 0) {
        std::snprintf(detail, sizeof detail, "\nEXTEND_TIMEOUT_USEC=%" PRIu64,
                      static_cast<uint64_t>(status.waitHint) * 1000);
        message += detail;
    }
    return message;
}

bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
    if (handle != kRegisteredHandle) {
        return false;
    }
    Dispatcher& d = dispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.running) {
        return false;
    }
    int sent = sd_notify(0, serviceStatusNotification(status).c_str());
    d.state = status.currentState;
    d.wake();
    return sent > 0;
}

void reportServiceEvent(const char* source, EventType type, const char* message) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    openlog(source, LOG_PID, LOG_DAEMON);
    syslog(type == EventType::Error ? LOG_ERR : LOG_INFO, "%s", message);
    closelog();
}

}  // namespace vexa::platform
