// The socket server of vexa-sim: listens on a Unix SOCK_SEQPACKET socket
// and serves the protocol of transport/virtual_wire.h, one thread per
// connection (HostConnection). A connection may enumerate and send control
// commands; OPEN binds it to one device, after which WRITE reaches that
// device and its input reports are pushed to the host.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/device/virtual_device.h"
#include "sim/device/wakeup.h"

namespace vexa::sim {

class SimServer {
public:
    SimServer(const std::vector<std::unique_ptr<VirtualDevice>>& devices, Wakeup& wakeup);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Binds and listens on path. A leftover socket file that nobody listens
    // on is replaced; a live one, or any other kind of file, is refused.
    bool listen(const std::string& path, std::string& error);

    // Accepts and serves connections until stopFd becomes readable.
    void run(int stopFd);

    // Ends every connection, waits for their threads, closes the listening
    // socket and removes its file. Called by the destructor too.
    void shutdown();

private:
    struct Connection {
        int fd = -1;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void serve(Connection& connection);
    bool makeLockFiles(std::string& error);
    void reapFinished();

    const std::vector<std::unique_ptr<VirtualDevice>>& devices_;
    Wakeup& wakeup_;
    int listenFd_ = -1;
    std::string path_;
    std::list<Connection> connections_;
};

}  // namespace vexa::sim
