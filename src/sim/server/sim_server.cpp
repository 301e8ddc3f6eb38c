#include "sim/server/sim_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "sim/server/host_connection.h"
#include "platform/socket.h"
#include "device_link/virtual_wire.h"

namespace vexa::sim {

namespace {

namespace wire = vexa::virtual_wire;

constexpr int kBacklog = 16;

bool makeAddress(const std::string& path, sockaddr_un& addr, std::string& error) {
    addr = sockaddr_un{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        error = "socket path \"" + path + "\" is empty or too long";
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

// A socket file left behind by a simulator that did not end cleanly may be
// replaced; one that still has a listener, or any other file, may not.
bool clearStaleSocket(const std::string& path, std::string& error) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return errno == ENOENT || (error = path + ": " + std::strerror(errno), false);
    }
    if (!S_ISSOCK(info.st_mode)) {
        error = path + " exists and is not a socket";
        return false;
    }
    if (wire::connectTo(path).isOpen()) {
        error = "another vexa-sim already listens on " + path;
        return false;
    }
    if (::unlink(path.c_str()) != 0) {
        error = "cannot remove the old socket " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

SimServer::SimServer(const std::vector<std::unique_ptr<VirtualDevice>>& devices, Wakeup& wakeup)
    : devices_(devices), wakeup_(wakeup) {}

SimServer::~SimServer() {
    shutdown();
}

bool SimServer::listen(const std::string& path, std::string& error) {
    sockaddr_un addr;
    if (!makeAddress(path, addr, error) || !clearStaleSocket(path, error)) {
        return false;
    }
    platform::FileDescriptor fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd.get(), kBacklog) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        return false;
    }
    listenFd_ = std::move(fd);
    path_ = path;
    return makeLockFiles(error);
}

// The files on which host processes lock each device (see
// virtual_wire::deviceLockFile), open to every user who may reach the
// socket: users who cannot make files beside it can still lock them.
bool SimServer::makeLockFiles(std::string& error) {
    for (const std::unique_ptr<VirtualDevice>& device : devices_) {
        const std::string file = wire::deviceLockFile(path_, device->path());
        const platform::FileDescriptor fd(
            ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
        if (!fd.valid()) {
            error = "cannot make " + file + ": " + std::strerror(errno);
            return false;
        }
        // The mode of a file made now would otherwise be cut by the umask;
        // one left by another user's vexa-sim may be open to all already.
        struct stat info {};
        const bool shared = ::fchmod(fd.get(), 0666) == 0 ||
                            (::fstat(fd.get(), &info) == 0 && (info.st_mode & 0666) == 0666);
        if (!shared) {
            error = "cannot open " + file + " to every user: " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool SimServer::listenTcp(const std::string& hostPort, std::string& error) {
    std::string host;
    std::string port;
    if (!wire::splitHostPort(hostPort, host, port)) {
        error = "\"" + hostPort + "\" is not HOST:PORT";
        return false;
    }
    const vexa::platform::SocketHandle socket = vexa::platform::listenTcp(host, port, error);
    if (socket == vexa::platform::kNoSocket) {
        return false;
    }
    tcpListenFd_.reset(static_cast<int>(socket));
    const std::string shownHost = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    tcpAddress_ = std::string(wire::kTcpPrefix) + shownHost + ":" +
                  std::to_string(vexa::platform::localPort(socket));
    return true;
}

void SimServer::run(int stopFd) {
    // Unused slots (no such listener) have fd -1, which poll skips.
    pollfd fds[3] = {
        {listenFd_.get(), POLLIN, 0}, {tcpListenFd_.get(), POLLIN, 0}, {stopFd, POLLIN, 0}};
    while (!wakeup_.stopping()) {
        const int ready = ::poll(fds, 3, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[2].revents != 0) {
            break;
        }
        reapFinished();
        if ((fds[0].revents & POLLIN) != 0) {
            accept(listenFd_.get(), false);
        }
        if ((fds[1].revents & POLLIN) != 0) {
            accept(tcpListenFd_.get(), true);
        }
    }
}

void SimServer::accept(int listenFd, bool stream) {
    const int fd = stream ? static_cast<int>(vexa::platform::acceptTcp(listenFd))
                          : ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    Connection& connection = connections_.emplace_back();
    connection.channel = wire::Channel(fd, stream);
    connection.thread = std::thread([this, &connection] {
        try {
            serve(connection);
        } catch (const std::exception& e) {
            // Out of memory or the like: this connection ends, the
            // simulator goes on.
            std::fprintf(stderr, "vexa-sim: connection ended: %s\n", e.what());
        }
        // The peer sees the end at once; the socket itself is closed when
        // the thread is reaped, so its number is not reused while the
        // server may still shut it down.
        connection.channel.shutdown();
        connection.done = true;
    });
}

void SimServer::reapFinished() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (it->done) {
            it->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void SimServer::shutdown() {
    wakeup_.stop();
    for (Connection& connection : connections_) {
        connection.channel.shutdown();
    }
    for (Connection& connection : connections_) {
        connection.thread.join();
    }
    connections_.clear();
    if (listenFd_.valid()) {
        listenFd_.reset();
        ::unlink(path_.c_str());
    }
    tcpListenFd_.reset();
}

void SimServer::serve(Connection& connection) {
    HostConnection(connection.channel, devices_, wakeup_).run();
}

}  // namespace vexa::sim
