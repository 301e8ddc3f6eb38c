#include "daemon/admission.h"

#include <mbedtls/error.h>

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <thread>

#include "daemon/client_connection.h"
#include "daemon/console.h"
#include "daemon/device_turns.h"
#include "daemon/relay.h"
#include "daemon/device_claim.h"
#include "platform/wake_event.h"

namespace {

constexpr int kAcceptRetryPauseMs = 100;

// One connection's thread and whether it has finished.
struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
};

// 1. handshake within its deadline, 2. wait for the device in turn, 3. relay.
void ServeClient(ClientConnection& client, DeviceClaim& device, DeviceTurns& turns,
                 const ServerOptions& options) {
    if (!client.handshake(options.handshakeDeadlineMs)) {
        return;
    }
    // A client waits for the device at most as long as it may stay silent.
    const auto deadline =
        DeviceTurns::Clock::now() + std::chrono::milliseconds(options.readTimeoutMs);
    const DeviceTurns::Result turn = turns.acquire(deadline);
    if (turn == DeviceTurns::Result::TimedOut) {
        ErrorLinef(
            "A client waited %u ms for the device, which another client holds: "
            "connection closed.",
            options.readTimeoutMs);
        client.closeNotify();
        return;
    }
    if (turn == DeviceTurns::Result::Stopped) {
        client.closeNotify();
        return;
    }
    DeviceTurn held(turns);
    const RelayLimits limits{static_cast<int>(options.readTimeoutMs), options.handOverGraceMs};
    RelayClient(client, device, turns, limits);
    device.release();
}

void ReapFinished(std::list<Worker>& workers) {
    for (auto it = workers.begin(); it != workers.end();) {
        if (it->done.load()) {
            it->thread.join();
            it = workers.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

void ServeClients(ServerContext& ctx, const std::string& serial, const ServerOptions& options) {
    DeviceClaim device(kVexaVendorId, kVexaProductId, serial, kDeviceTimeoutMs);
    DeviceTurns turns;
    std::list<Worker> workers;
    mbedtls_net_set_nonblock(&ctx.listener);
    const int descriptors[2] = {ctx.listener.fd, StopRequested.descriptor()};

    while (!StopRequested.load()) {
        vexa::platform::waitForInput(descriptors, 2, -1);
        ReapFinished(workers);
        if (StopRequested.load()) {
            break;
        }
        auto client = std::make_unique<ClientConnection>(ctx.conf);
        const int ret = mbedtls_net_accept(&ctx.listener, client->socket(), nullptr, 0, nullptr);
        if (ret == MBEDTLS_ERR_SSL_WANT_READ) {
            continue;
        }
        if (ret != 0) {
            char text[100];
            mbedtls_strerror(ret, text, sizeof text);
            ErrorLinef("accept returned %d\n", ret);
            ErrorLinef("Last error was: %d - %s\n", ret, text);
            // A failure that lasts (no descriptor left) must not spin: the
            // next try comes after a pause, or at once on a stop.
            const int stop = StopRequested.descriptor();
            vexa::platform::waitForInput(&stop, 1, kAcceptRetryPauseMs);
            continue;
        }
        if (workers.size() >= static_cast<size_t>(kMaxClients)) {
            ErrorLinef("%d clients are connected already: a new connection is closed.",
                       kMaxClients);
            continue;
        }
        workers.emplace_back();
        Worker& worker = workers.back();
        worker.thread =
            std::thread([&worker, &device, &turns, &options, connection = std::move(client)]() {
                ServeClient(*connection, device, turns, options);
                worker.done.store(true);
            });
    }
    turns.stop();
    for (Worker& worker : workers) {
        worker.thread.join();
    }
}
