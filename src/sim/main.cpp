// vexa-sim: the virtual Vexa device. See `vexa-sim --help`.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

#include "sim/device/virtual_device.h"
#include "sim/device/wakeup.h"
#include "sim/server/control.h"
#include "sim/server/options.h"
#include "sim/server/sim_server.h"
#include "sim/state/state_file.h"
#include "device_link/virtual_wire.h"

namespace {

using namespace vexa::sim;

// Written by the signal handler, read by the accept loop.
int gStopPipe[2] = {-1, -1};

extern "C" void onStopSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(gStopPipe[1], &byte, 1);
    errno = saved;
}

bool installStopSignals() {
    if (::pipe2(gStopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_handler = &onStopSignal;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGTERM, &action, nullptr) == 0 && ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}

const char* framingName(Framing framing) {
    return framing == Framing::U2f ? "u2f" : "plain";
}

int fail(const std::string& text) {
    std::fprintf(stderr, "vexa-sim: %s\n", text.c_str());
    return 1;
}

int runSimulator(const SimOptions& options) {
    StateStore store;
    std::string error;
    if (!options.statePath.empty() && !store.load(options.statePath, error)) {
        return fail(error);
    }

    Wakeup wakeup;
    std::vector<std::unique_ptr<VirtualDevice>> devices;
    for (const DeviceConfig& config : deviceConfigs(options)) {
        auto device = std::make_unique<VirtualDevice>(config, tokenSetup(options, config), wakeup);
        if (!options.statePath.empty()) {
            bool restored = true;
            device->withToken([&](Token& token) {
                restored = store.restore(token, error) && store.save(token, error);
            });
            if (!restored) {
                return fail(error);
            }
            device->onPersistentChange([&store](Token& token) {
                std::string why;
                if (!store.save(token, why)) {
                    std::fprintf(stderr, "vexa-sim: %s\n", why.c_str());
                }
            });
        }
        devices.push_back(std::move(device));
    }

    if (!installStopSignals()) {
        return fail("cannot install the signal handlers");
    }
    SimServer server(devices, wakeup);
    if (!options.socketPath.empty()) {
        if (!server.listen(options.socketPath, error)) {
            return fail(error);
        }
        std::printf("vexa-sim: listening on %s\n", options.socketPath.c_str());
    }
    if (!options.listen.empty()) {
        if (!server.listenTcp(options.listen, error)) {
            return fail(error);
        }
        std::printf("vexa-sim: listening on %s\n", server.tcpAddress().c_str());
    }
    for (const auto& device : devices) {
        const DeviceConfig& c = device->config();
        std::printf("vexa-sim: device %zu: serial %s, product %s, framing %s, path %s\n", c.index,
                    c.serial.c_str(), c.product.c_str(), framingName(c.framing),
                    device->path().c_str());
    }
    std::printf("vexa-sim: ready\n");
    std::fflush(stdout);

    server.run(gStopPipe[0]);
    server.shutdown();
    std::printf("vexa-sim: stopped\n");
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::string error;
        std::optional<SimOptions> options = parseOptions(argc, argv, error);
        if (!options) {
            std::fprintf(stderr, "vexa-sim: %s\n%s", error.c_str(), helpText().c_str());
            return 2;
        }
        if (options->help) {
            std::fputs(helpText().c_str(), stdout);
            return 0;
        }
        if (options->control) {
            return sendControl(options->socketPath.empty()
                                   ? std::string(vexa::virtual_wire::kTcpPrefix) + options->listen
                                   : options->socketPath,
                               *options->control);
        }
        return runSimulator(*options);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}
