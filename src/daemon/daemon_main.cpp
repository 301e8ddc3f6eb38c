// Entry of vexa-daemon: turns the argument list into one service-control
// command, a service run or a console run of the server.
#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "daemon/console.h"
#include "daemon/daemon_settings.h"
#include "daemon/server.h"
#include "daemon/service_control.h"
#include "daemon/service_host.h"
#include "daemon/settings.h"
#include "platform/platform.h"

namespace {

// Loads the configuration, builds the settings and runs: install, service
// or console.
int RunWithSettings(const ArgumentList& args) {
    nlohmann::json config;
    // "-d" alone (even as the last argument, without a value) lets a run go
    // on without a configuration file.
    if (!LoadDaemonConfig(config) && !HasArgument(args, "-d")) {
        PrintUsage();
        return 1;
    }
    DaemonSettings settings = BuildDaemonSettings(args, config);

    const RunMode mode = ChooseRunMode(args);
    if (mode == RunMode::Install) {
        // The installed service reads the configuration file when it runs;
        // the settings built here are not stored with it.
        return InstallService();
    }

    const std::string directory = FindConfigDirectory();
    settings.caFile = ResolveDataPath(settings.caFile, directory);
    settings.keyFile = ResolveDataPath(settings.keyFile, directory);
    settings.certFile = ResolveDataPath(settings.certFile, directory);
    if (!settings.clientCaFile.empty()) {
        settings.clientCaFile = ResolveDataPath(settings.clientCaFile, directory);
    }

    if (mode == RunMode::Service) {
        return RunDaemonService(settings);
    }
    // The server returns only when its set-up failed, with the library's
    // (often negative) code, which its error lines already name. An exit
    // status keeps only 8 bits, so a failure always ends with 1.
    return RunServer(settings) == 0 ? 0 : 1;
}

}  // namespace

int DaemonMain(int argc, char** argv) {
    // The lines end in "\r\n" as written, on every system.
    vexa::platform::useBinaryStandardStreams();
    try {
        const ArgumentList args = CollectArguments(argc, argv);
        switch (ChooseCommand(args)) {
            case DaemonCommand::Start:
                return StartInstalledService(argc, argv);
            case DaemonCommand::Stop:
                return StopInstalledService();
            case DaemonCommand::Restart:
                // A failed stop has printed its message; the start decides.
                StopInstalledService();
                return StartInstalledService(argc, argv);
            case DaemonCommand::Uninstall:
                return UninstallService();
            case DaemonCommand::Run:
                break;
        }
        return RunWithSettings(args);
    } catch (const std::exception& e) {
        ErrorLine(std::string("Unexpected failure: ") + e.what());
        return 1;
    }
}
