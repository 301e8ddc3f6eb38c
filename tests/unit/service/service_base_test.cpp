// The service base class and the Vexa service against an in-memory service
// manager: states and check points reported, controls routed, events
// logged, and the server thread started and stopped.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "daemon/server.h"
#include "daemon/service_host.h"
#include "integration/service/notify_socket.h"
#include "support/temp_dir.h"

namespace {

namespace platform = vexa::platform;
using platform::EventType;
using platform::ServiceStatus;

constexpr platform::ServiceStatusHandle kHandle = 7;

// Records what a service reports and logs.
class RecordingLink : public platform::IServiceManagerLink {
public:
    struct Event {
        std::string source;
        EventType type;
        std::string message;
    };

    bool refuseRegistration = false;

    platform::ServiceStatusHandle registerControlHandler(
        const char* /*name*/, platform::ServiceControlHandler handler,
        platform::SystemErrorCode* error) override {
        if (refuseRegistration || handler == nullptr) {
            *error = platform::kErrorServiceNotInExe;
            return 0;
        }
        return kHandle;
    }
    void setStatus(platform::ServiceStatusHandle handle, const ServiceStatus& status) override {
        std::lock_guard<std::mutex> lock(mutex_);
        handles_.push_back(handle);
        statuses_.push_back(status);
    }
    void logEvent(const char* source, EventType type, const char* message) override {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back({source, type, message});
    }

    std::vector<ServiceStatus> statuses() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return statuses_;
    }
    std::vector<uint32_t> states() const {
        std::vector<uint32_t> out;
        for (const ServiceStatus& s : statuses()) {
            out.push_back(s.currentState);
        }
        return out;
    }
    std::vector<platform::ServiceStatusHandle> handles() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return handles_;
    }
    std::vector<Event> events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const Event& e : events()) {
            out.push_back(e.message);
        }
        return out;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        statuses_.clear();
        handles_.clear();
        events_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<ServiceStatus> statuses_;
    std::vector<platform::ServiceStatusHandle> handles_;
    std::vector<Event> events_;
};

// What a scripted work operation does.
enum class Outcome { Succeed, ThrowCode, ThrowOther };
constexpr platform::SystemErrorCode kThrownCode = 0x1234;

void Act(Outcome outcome) {
    if (outcome == Outcome::ThrowCode) {
        throw platform::SystemErrorCode{kThrownCode};
    }
    if (outcome == Outcome::ThrowOther) {
        throw std::runtime_error("work failed");
    }
}

class ScriptedService : public CServiceBase {
public:
    explicit ScriptedService(RecordingLink& link, const char* name = "scripted")
        : CServiceBase(name, true, true, true, link) {}

    Outcome start = Outcome::Succeed;
    Outcome work = Outcome::Succeed;  // stop, pause, continue, shutdown

    using CServiceBase::ReportStatus;

protected:
    void StartWork(int, char**) override { Act(start); }
    void StopWork() override { Act(work); }
    void PauseWork() override { Act(work); }
    void ContinueWork() override { Act(work); }
    void ShutdownWork() override { Act(work); }
};

constexpr uint32_t kStopped = platform::kServiceStopped;
constexpr uint32_t kStartPending = platform::kServiceStartPending;
constexpr uint32_t kStopPending = platform::kServiceStopPending;
constexpr uint32_t kRunning = platform::kServiceRunning;
constexpr uint32_t kContinuePending = platform::kServiceContinuePending;
constexpr uint32_t kPausePending = platform::kServicePausePending;
constexpr uint32_t kPaused = platform::kServicePaused;

void RunMain(CServiceBase& service) {
    char name[] = "scripted";
    char* argv[] = {name, nullptr};
    service.ServiceMain(1, argv);
}

TEST(ServiceBase, ConstructionSetsTypeStartPendingAndTheControlsAccepted) {
    struct Case {
        bool stop, shutdown, pause;
        uint32_t accepted;
    };
    const Case cases[] = {
        {true, true, false, 5},  {true, false, false, 1}, {false, true, false, 4},
        {false, false, true, 2}, {true, true, true, 7},   {false, false, false, 0},
    };
    RecordingLink link;
    for (const Case& c : cases) {
        CServiceBase service("svc", c.stop, c.shutdown, c.pause, link);
        ServiceStatus status = service.Status();
        EXPECT_EQ(status.controlsAccepted, c.accepted);
        EXPECT_EQ(status.serviceType, 0x10u);
        EXPECT_EQ(status.currentState, kStartPending);
        EXPECT_EQ(status.exitCode, 0u);
        EXPECT_EQ(status.serviceSpecificExitCode, 0u);
        EXPECT_EQ(status.checkPoint, 0u);
        EXPECT_EQ(status.waitHint, 0u);
    }
    CServiceBase unnamed(nullptr, true, true, false, link);
    EXPECT_STREQ(unnamed.Name(), "");
    EXPECT_TRUE(link.statuses().empty());
}

TEST(ServiceBase, StartReportsStartPendingThenRunningThroughTheRegisteredHandle) {
    RecordingLink link;
    ScriptedService service(link);
    RunMain(service);

    std::vector<ServiceStatus> statuses = link.statuses();
    ASSERT_EQ(link.states(), (std::vector<uint32_t>{kStartPending, kRunning}));
    EXPECT_NE(statuses[0].checkPoint, 0u);
    EXPECT_EQ(statuses[1].checkPoint, 0u);
    for (const ServiceStatus& s : statuses) {
        EXPECT_EQ(s.exitCode, 0u);
        EXPECT_EQ(s.waitHint, 0u);
    }
    EXPECT_EQ(link.handles(), (std::vector<platform::ServiceStatusHandle>{kHandle, kHandle}));
    EXPECT_TRUE(link.events().empty());
    EXPECT_FALSE(service.StartFailed());
}

TEST(ServiceBase, FailedStartLogsAndReportsStopped) {
    struct Case {
        Outcome outcome;
        std::string event;
        uint32_t exitCode;
    };
    const Case cases[] = {
        {Outcome::ThrowCode, "Service Start failed w/err 0x00001234", kThrownCode},
        {Outcome::ThrowOther, "Service failed to start.", 0},
    };
    for (const Case& c : cases) {
        RecordingLink link;
        ScriptedService service(link);
        service.start = c.outcome;
        RunMain(service);

        EXPECT_EQ(link.states(), (std::vector<uint32_t>{kStartPending, kStopped}));
        EXPECT_EQ(link.statuses().back().exitCode, c.exitCode);
        EXPECT_EQ(link.statuses().back().checkPoint, 0u);
        ASSERT_EQ(link.events().size(), 1u);
        EXPECT_EQ(link.events()[0].message, c.event);
        EXPECT_EQ(link.events()[0].type, EventType::Error);
        EXPECT_EQ(link.events()[0].source, "scripted");
        EXPECT_TRUE(service.StartFailed());
    }
}

TEST(ServiceBase, RefusedRegistrationReportsNothingAndLogsTheCode) {
    RecordingLink link;
    link.refuseRegistration = true;
    ScriptedService service(link);
    RunMain(service);
    EXPECT_TRUE(link.statuses().empty());
    EXPECT_EQ(link.messages(), (std::vector<std::string>{"Service Start failed w/err 0x0000043b"}));
}

// Every control from a given state: the states reported and the event.
TEST(ServiceBase, ControlsRunTheirProceduresAndReportTheFailureStates) {
    struct Case {
        uint32_t control;
        uint32_t before;
        Outcome outcome;
        std::vector<uint32_t> states;
        std::string event;  // "" for none
    };
    const Case cases[] = {
        {1, kRunning, Outcome::Succeed, {kStopPending, kStopped}, ""},
        {1,
         kRunning,
         Outcome::ThrowCode,
         {kStopPending, kRunning},
         "Service Stop failed w/err 0x00001234"},
        {1, kPaused, Outcome::ThrowOther, {kStopPending, kPaused}, "Service failed to stop."},
        {2, kRunning, Outcome::Succeed, {kPausePending, kPaused}, ""},
        {2,
         kRunning,
         Outcome::ThrowCode,
         {kPausePending, kRunning},
         "Service Pause failed w/err 0x00001234"},
        {2, kRunning, Outcome::ThrowOther, {kPausePending, kRunning}, "Service failed to pause."},
        {3, kPaused, Outcome::Succeed, {kContinuePending, kRunning}, ""},
        {3,
         kPaused,
         Outcome::ThrowCode,
         {kContinuePending, kPaused},
         "Service Continue failed w/err 0x00001234"},
        {3, kPaused, Outcome::ThrowOther, {kContinuePending, kPaused}, "Service failed to resume."},
        {5, kRunning, Outcome::Succeed, {kStopped}, ""},
        {5, kRunning, Outcome::ThrowCode, {}, "Service Shutdown failed w/err 0x00001234"},
        {5, kRunning, Outcome::ThrowOther, {}, "Service failed to shut down."},
        // Interrogate and unknown controls change nothing and report nothing.
        {4, kRunning, Outcome::Succeed, {}, ""},
        {0, kRunning, Outcome::Succeed, {}, ""},
        {0x80, kRunning, Outcome::Succeed, {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("control " + std::to_string(c.control));
        RecordingLink link;
        ScriptedService service(link);
        service.ReportStatus(c.before);
        link.clear();
        service.work = c.outcome;

        service.HandleControl(c.control);

        EXPECT_EQ(link.states(), c.states);
        for (const ServiceStatus& s : link.statuses()) {
            EXPECT_EQ(s.exitCode, 0u);
            EXPECT_EQ(s.waitHint, 0u);
        }
        if (c.states.empty()) {
            EXPECT_EQ(service.Status().currentState, c.before);
        }
        if (c.event.empty()) {
            EXPECT_TRUE(link.events().empty());
        } else {
            ASSERT_EQ(link.events().size(), 1u);
            EXPECT_EQ(link.events()[0].message, c.event);
            EXPECT_EQ(link.events()[0].type, EventType::Error);
        }
    }
}

TEST(ServiceBase, CheckPointsCountUpAcrossPendingReportsAndServicesAndAreZeroOtherwise) {
    RecordingLink link;
    ScriptedService first(link);
    for (uint32_t state : {kStartPending, kRunning, kPausePending, kPaused, kContinuePending,
                           kStopPending, kStopped}) {
        first.ReportStatus(state);
    }
    ScriptedService second(link, "second");
    second.ReportStatus(kStartPending);
    second.ReportStatus(kStopped);

    std::vector<ServiceStatus> s = link.statuses();
    ASSERT_EQ(s.size(), 9u);
    const uint32_t base = s[0].checkPoint;
    EXPECT_NE(base, 0u);
    const uint32_t expected[] = {base, 0, base + 1, base + 2, base + 3, base + 4, 0, base + 5, 0};
    for (size_t i = 0; i < s.size(); ++i) {
        EXPECT_EQ(s[i].checkPoint, expected[i]) << "report " << i;
    }
}

TEST(ServiceBase, WaitHintAndExitCodeReachTheReport) {
    RecordingLink link;
    ScriptedService service(link);
    service.ReportStatus(kStopPending, 0, 3000);
    service.ReportStatus(kStopped, 1066, 0);
    ASSERT_EQ(link.statuses().size(), 2u);
    EXPECT_EQ(link.statuses()[0].waitHint, 3000u);
    EXPECT_EQ(link.statuses()[1].exitCode, 1066u);
}

TEST(ServiceBase, ErrorEventsAreFormattedAndTruncatedTo259Characters) {
    RecordingLink link;
    ScriptedService service(link);
    service.LogErrorEvent("Service Stop", 0xDEADBEEF);
    service.LogErrorEvent(std::string(300, 'x').c_str(), 5);
    service.LogEvent("plain", EventType::Information);

    std::vector<RecordingLink::Event> events = link.events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].message, "Service Stop failed w/err 0xdeadbeef");
    EXPECT_EQ(events[1].message, std::string(259, 'x'));
    EXPECT_EQ(events[1].type, EventType::Error);
    EXPECT_EQ(events[2].message, "plain");
    EXPECT_EQ(events[2].type, EventType::Information);
}

// A server for CVexaService that polls StopRequested between clients, as
// the real one does.
struct FakeServer {
    static inline platform::ManualResetEvent entered;
    static inline std::atomic<bool> returned{false};
    static inline std::string device;

    static void Reset() {
        StopRequested = false;
        entered.reset();
        returned = false;
    }
    static int RunUntilStopped(const DaemonSettings& settings) {
        device = settings.device;
        entered.set();
        while (!StopRequested.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        returned = true;
        return 0;
    }
    // Like a server whose certificate does not load.
    static int FailAtOnce(const DaemonSettings&) {
        entered.set();
        returned = true;
        return -15872;
    }
};

class VexaServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeServer::Reset();
        settings.device = "SN-1234";
    }
    void TearDown() override { StopRequested = false; }

    RecordingLink link;
    DaemonSettings settings;
};

TEST_F(VexaServiceTest, StopWaitsForTheServerAndLogsStartingAndStopping) {
    CVexaService service("vexa-daemon", settings, true, true, false, link,
                         &FakeServer::RunUntilStopped);
    EXPECT_EQ(service.Status().controlsAccepted, 5u);
    RunMain(service);
    EXPECT_EQ(link.states(), (std::vector<uint32_t>{kStartPending, kRunning}));
    FakeServer::entered.wait();
    EXPECT_FALSE(FakeServer::returned.load());

    service.HandleControl(platform::kServiceControlStop);

    EXPECT_TRUE(FakeServer::returned.load());
    EXPECT_TRUE(StopRequested.load());
    EXPECT_EQ(FakeServer::device, "SN-1234");
    EXPECT_EQ(link.states(),
              (std::vector<uint32_t>{kStartPending, kRunning, kStopPending, kStopped}));
    std::vector<RecordingLink::Event> events = link.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].message, "Vexa Daemon starting");
    EXPECT_EQ(events[1].message, "Vexa Daemon stopping");
    for (const RecordingLink::Event& e : events) {
        EXPECT_EQ(e.type, EventType::Information);
        EXPECT_EQ(e.source, "vexa-daemon");
    }
}

// A server that fails by itself (a certificate that does not load) stops
// the service with a failure, whether it fails before the start procedure
// has reported running or after; a service that runs and serves nothing
// would be a failure reported as success.
TEST_F(VexaServiceTest, AServerThatFailsByItselfStopsTheServiceWithAFailure) {
    CVexaService service("vexa-daemon", settings, true, true, false, link, &FakeServer::FailAtOnce);
    RunMain(service);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (link.states().back() != kStopped && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::vector<uint32_t> states = link.states();
    ASSERT_EQ(states.back(), kStopped);
    EXPECT_EQ(states.front(), kStartPending);
    EXPECT_LE(states.size(), 3u);  // start pending, maybe running, stopped
    EXPECT_EQ(link.statuses().back().exitCode, platform::kErrorServiceSpecificError);
    EXPECT_TRUE(service.WorkFailed());
    EXPECT_FALSE(service.StartFailed());
    const std::vector<RecordingLink::Event> events = link.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].message, "Vexa Daemon starting");
    EXPECT_EQ(events[1].message, "Vexa Daemon server failed w/err 0xffffc200");
    EXPECT_EQ(events[1].type, EventType::Error);

    // A stop that comes afterwards changes nothing about the outcome.
    service.HandleControl(platform::kServiceControlStop);
    EXPECT_EQ(link.states().back(), kStopped);
    EXPECT_TRUE(service.WorkFailed());
}

// A server that returns because it was asked to stop is no failure.
TEST_F(VexaServiceTest, AServerStoppedOnRequestIsNoFailure) {
    CVexaService service("vexa-daemon", settings, true, true, false, link,
                         &FakeServer::RunUntilStopped);
    RunMain(service);
    FakeServer::entered.wait();
    service.HandleControl(platform::kServiceControlStop);
    EXPECT_EQ(link.statuses().back().currentState, kStopped);
    EXPECT_EQ(link.statuses().back().exitCode, 0u);
    EXPECT_FALSE(service.WorkFailed());
}

TEST_F(VexaServiceTest, PauseIsRoutedDespiteNotBeingAcceptedAndReportsPaused) {
    CVexaService service("vexa-daemon", settings, true, true, false, link,
                         &FakeServer::RunUntilStopped);
    RunMain(service);
    service.HandleControl(platform::kServiceControlPause);
    EXPECT_EQ(link.states(),
              (std::vector<uint32_t>{kStartPending, kRunning, kPausePending, kPaused}));
    EXPECT_FALSE(FakeServer::returned.load());
    service.HandleControl(platform::kServiceControlInterrogate);
    EXPECT_EQ(link.states().size(), 4u);
}

TEST_F(VexaServiceTest, ShutdownReportsStoppedAndTheServerIsEndedWithTheService) {
    {
        CVexaService service("vexa-daemon", settings, true, true, false, link,
                             &FakeServer::RunUntilStopped);
        RunMain(service);
        service.HandleControl(platform::kServiceControlShutdown);
        EXPECT_EQ(link.states().back(), kStopped);
        EXPECT_EQ(link.messages(), (std::vector<std::string>{"Vexa Daemon starting"}));
    }
    EXPECT_TRUE(FakeServer::returned.load());
}

TEST_F(VexaServiceTest, AStopBeforeAnyStartReturnsAtOnce) {
    CVexaService service("vexa-daemon", settings, true, true, false, link,
                         &FakeServer::RunUntilStopped);
    service.HandleControl(platform::kServiceControlStop);
    EXPECT_EQ(link.states(), (std::vector<uint32_t>{kStopPending, kStopped}));
    EXPECT_FALSE(FakeServer::entered.isSet());
}

TEST(RunAsService, OutsideTheServiceManagerTheDispatcherFailsWith1063) {
    unsetenv("NOTIFY_SOCKET");
    RecordingLink link;
    ScriptedService service(link);
    platform::SystemErrorCode error = 0;
    EXPECT_FALSE(RunAsService(service, &error));
    EXPECT_EQ(error, 1063u);
    EXPECT_TRUE(link.statuses().empty());
}

// A service on the real dispatcher whose start can be held back.
class HeldStartService : public CServiceBase {
public:
    HeldStartService() : CServiceBase("held", true, true, false) {}
    platform::ManualResetEvent release;
    std::atomic<int> stops{0};

protected:
    void StartWork(int, char**) override { release.wait(); }
    void StopWork() override { ++stops; }
};

TEST(RunAsService, AStopSignalDuringStartWaitsUntilTheServiceRuns) {
    const vexa::test::TempDir directory("vexa-notify");
    {
        vexa::test::NotifySocket notify(directory.file("notify"));
        ASSERT_TRUE(notify.ok());
        setenv("NOTIFY_SOCKET", notify.path().c_str(), 1);

        HeldStartService service;
        platform::SystemErrorCode error = 0;
        bool ran = false;
        std::thread dispatcher([&] { ran = RunAsService(service, &error); });

        ASSERT_TRUE(notify.waitForLinePrefix("STATUS=Starting (check point "));
        // SIGTERM is blocked on the dispatcher thread by now: it reaches the
        // dispatcher's signal descriptor and not the default action.
        ASSERT_EQ(pthread_kill(dispatcher.native_handle(), SIGTERM), 0);
        service.release.set();

        EXPECT_TRUE(notify.waitForLine("READY=1"));
        EXPECT_TRUE(notify.waitForLine("STOPPING=1"));
        EXPECT_TRUE(notify.waitForLine("STATUS=Stopped"));
        dispatcher.join();
        EXPECT_TRUE(ran);
        EXPECT_EQ(error, 0u);
        EXPECT_EQ(service.stops.load(), 1);

        // A second service may run once the first has ended.
        platform::SystemErrorCode again = 0;
        HeldStartService next;
        next.release.set();
        std::thread second([&] { RunAsService(next, &again); });
        EXPECT_TRUE(notify.waitForLine("READY=1"));
        ASSERT_EQ(pthread_kill(second.native_handle(), SIGTERM), 0);
        EXPECT_TRUE(notify.waitForLine("STATUS=Stopped"));
        second.join();
        EXPECT_EQ(again, 0u);
        unsetenv("NOTIFY_SOCKET");
    }
}

}  // namespace
