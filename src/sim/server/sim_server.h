// The socket server of vexa-sim: listens on a Unix SOCK_SEQPACKET socket,
// a TCP port, or both, and serves the protocol of device_link/virtual_wire.h, one thread per
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
#include "device_link/virtual_wire.h"
#include "platform/file_descriptor.h"

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

    // Listens on the TCP port of hostPort ("HOST:PORT"; port 0 picks a free
    // one) as well. The address actually bound is in tcpAddress().
    bool listenTcp(const std::string& hostPort, std::string& error);
    // "tcp:HOST:PORT" of the TCP listener ("" when none).
    const std::string& tcpAddress() const { return tcpAddress_; }

    // Accepts and serves connections until stopFd becomes readable.
    void run(int stopFd);

    // Ends every connection, waits for their threads, closes the listening
    // socket and removes its file. Called by the destructor too.
    void shutdown();

private:
    struct Connection {
        virtual_wire::Channel channel;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void serve(Connection& connection);
    bool makeLockFiles(std::string& error);
    void reapFinished();
    void accept(int listenFd, bool stream);

    const std::vector<std::unique_ptr<VirtualDevice>>& devices_;
    Wakeup& wakeup_;
    platform::FileDescriptor listenFd_;
    std::string path_;
    platform::FileDescriptor tcpListenFd_;
    std::string tcpAddress_;
    std::list<Connection> connections_;
};

}  // namespace vexa::sim
