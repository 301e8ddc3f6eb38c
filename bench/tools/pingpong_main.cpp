// vexa-pingpong: the floors the forwarding stacks are compared with, and
// the bare TLS echo the daemon's relay is compared with.
//
//   vexa-pingpong unix-server PATH
//   vexa-pingpong unix-client PATH [--size N] [--iterations N]
//   vexa-pingpong tls-server PORT CERT KEY [--framed]
//   vexa-pingpong tls-client PORT [--ca FILE] [--size N] [--iterations N] [--framed]
//                            [--device-request] [--hold]
//
// A server prints "ready" once it listens and serves clients one after the
// other until it is ended. It echoes what it reads; with --framed it reads
// the daemon's frames (4-byte little-endian length, flag byte, payload) and
// answers each with its payload, as the daemon answers a non-zero flag. A
// client sends `size` bytes (framed: a frame with flag 1) and waits for the
// answer, `iterations` times after a short warm-up, then prints one line:
// "<median ns>\t<p99 ns>\t<ops/s>". With --device-request the client sends
// the daemon frames with flag 0 that carry a small device request (session
// information of session 1) and takes each answer as one record: the relay's
// whole way to the device and back, without the module. With --hold the
// client prints "holding" on standard error after the warm-up and again
// after the timed requests, and each time waits for a line on standard
// input before it goes on: a measurement attached to the peer in between
// sees the timed requests and nothing of the handshake or the close.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "p11bench/stats.h"
#include "platform/file_descriptor.h"
#include "tools/tls_endpoint.h"
#include "transport/tls_frame.h"

namespace {

using vexa::p11bench::nowNs;

constexpr size_t kMaxPayload = 4096;
constexpr int kWarmUp = 50;

struct Args {
    std::vector<std::string> positional;
    size_t size = 100;
    size_t iterations = 10000;
    bool framed = false;
    bool deviceRequest = false;
    bool hold = false;
    std::string ca;
};

bool parse(int argc, char** argv, Args& a) {
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--framed") {
            a.framed = true;
        } else if (arg == "--device-request") {
            a.deviceRequest = true;
        } else if (arg == "--hold") {
            a.hold = true;
        } else if ((arg == "--size" || arg == "--iterations" || arg == "--ca") && i + 1 < argc) {
            const char* v = argv[++i];
            if (arg == "--ca") {
                a.ca = v;
                continue;
            }
            char* end = nullptr;
            const unsigned long n = std::strtoul(v, &end, 10);
            if (*end != '\0' || n == 0 || n > 100000000) {
                return false;
            }
            (arg == "--size" ? a.size : a.iterations) = n;
        } else if (arg.rfind("--", 0) == 0) {
            return false;
        } else {
            a.positional.push_back(arg);
        }
    }
    return a.size <= kMaxPayload;
}

void printFigures(std::vector<int64_t>& samples) {
    const vexa::p11bench::Figures f = vexa::p11bench::summarize(samples);
    std::printf("%.0f\t%.0f\t%.1f\n", f.medianNs, f.p99Ns, f.opsPerSecond);
}

// ---- Unix socket ----

using vexa::platform::FileDescriptor;

bool unixAddress(const std::string& path, sockaddr_un& addr) {
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        return false;
    }
    addr = {};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

bool readAll(int fd, unsigned char* buffer, size_t n) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, buffer + got, n - got);
        if (r > 0) {
            got += static_cast<size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool writeAll(int fd, const unsigned char* buffer, size_t n) {
    size_t sent = 0;
    while (sent < n) {
        const ssize_t r = ::write(fd, buffer + sent, n - sent);
        if (r > 0) {
            sent += static_cast<size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

int unixServer(const Args& a) {
    sockaddr_un addr;
    if (a.positional.size() != 1 || !unixAddress(a.positional[0], addr)) {
        std::fprintf(stderr, "vexa-pingpong: unix-server needs a socket path\n");
        return 2;
    }
    FileDescriptor listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ::unlink(addr.sun_path);
    if (listener.get() < 0 ||
        ::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener.get(), 4) != 0) {
        std::fprintf(stderr, "vexa-pingpong: cannot listen on %s: %s\n", addr.sun_path,
                     std::strerror(errno));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::vector<unsigned char> buffer(65536);
    for (;;) {
        FileDescriptor client(::accept(listener.get(), nullptr, nullptr));
        if (client.get() < 0) {
            continue;
        }
        for (;;) {
            const ssize_t r = ::read(client.get(), buffer.data(), buffer.size());
            if (r <= 0 || !writeAll(client.get(), buffer.data(), static_cast<size_t>(r))) {
                break;
            }
        }
    }
}

int unixClient(const Args& a) {
    sockaddr_un addr;
    if (a.positional.size() != 1 || !unixAddress(a.positional[0], addr)) {
        std::fprintf(stderr, "vexa-pingpong: unix-client needs a socket path\n");
        return 2;
    }
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0 || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "vexa-pingpong: cannot connect to %s: %s\n", addr.sun_path,
                     std::strerror(errno));
        return 1;
    }
    std::vector<unsigned char> out(a.size, 0x5A);
    std::vector<unsigned char> in(a.size);
    std::vector<int64_t> samples;
    samples.reserve(a.iterations);
    for (size_t i = 0; i < a.iterations + kWarmUp; ++i) {
        const int64_t start = nowNs();
        if (!writeAll(fd.get(), out.data(), out.size()) ||
            !readAll(fd.get(), in.data(), in.size())) {
            std::fprintf(stderr, "vexa-pingpong: connection lost\n");
            return 1;
        }
        if (i >= kWarmUp) {
            samples.push_back(nowNs() - start);
        }
    }
    printFigures(samples);
    return 0;
}

// ---- TLS ----

// Serves one connection: echoes raw bytes, or answers frames with their
// payload.
void serveTls(mbedtls_ssl_context& ssl, bool framed) {
    std::vector<unsigned char> buffer(kMaxPayload + 5);
    for (;;) {
        if (!framed) {
            int r;
            do {
                r = mbedtls_ssl_read(&ssl, buffer.data(), buffer.size());
            } while (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE);
            if (r <= 0 || !vexa::bench::tlsWriteAll(ssl, buffer.data(), static_cast<size_t>(r))) {
                return;
            }
            continue;
        }
        unsigned char header[vexa::tls::kFrameHeaderSize];
        if (!vexa::bench::tlsReadAll(ssl, header, sizeof header)) {
            return;
        }
        const uint32_t n = vexa::tls::readFrameHeader(header).payloadLength;
        if (n > kMaxPayload || !vexa::bench::tlsReadAll(ssl, buffer.data(), n) ||
            !vexa::bench::tlsWriteAll(ssl, buffer.data(), n)) {
            return;
        }
    }
}

int tlsServer(const Args& a) {
    if (a.positional.size() != 3) {
        std::fprintf(stderr, "vexa-pingpong: tls-server needs PORT CERT KEY\n");
        return 2;
    }
    vexa::bench::TlsObjects s;
    vexa::mbed::Net listener;
    std::string step;
    int ret = vexa::bench::tlsListen(s, listener, a.positional[0], a.positional[1], a.positional[2],
                                     &step);
    if (ret != 0) {
        std::fprintf(stderr, "vexa-pingpong: %s failed: %s\n", step.c_str(),
                     vexa::bench::tlsError(ret).c_str());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        vexa::mbed::Net client;
        mbedtls_ssl_session_reset(&s.ssl);
        if (mbedtls_net_accept(&listener, &client, nullptr, 0, nullptr) == 0) {
            mbedtls_ssl_set_bio(&s.ssl, &client, mbedtls_net_send, mbedtls_net_recv, nullptr);
            int r;
            do {
                r = mbedtls_ssl_handshake(&s.ssl);
            } while (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE);
            if (r == 0) {
                serveTls(s.ssl, a.framed);
                mbedtls_ssl_close_notify(&s.ssl);
            }
        }
    }
}

// One answer of unknown length: whatever the next record holds.
bool readRecord(mbedtls_ssl_context& ssl, std::vector<unsigned char>& in) {
    int r;
    do {
        r = mbedtls_ssl_read(&ssl, in.data(), in.size());
    } while (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE);
    return r > 0;
}

// Tells the caller the client is between phases and waits for its line.
void holdForCaller() {
    std::fprintf(stderr, "holding\n");
    std::fflush(stderr);
    int c;
    while ((c = std::getchar()) != EOF && c != '\n') {
    }
}

int tlsClient(const Args& a) {
    if (a.positional.size() != 1) {
        std::fprintf(stderr, "vexa-pingpong: tls-client needs PORT\n");
        return 2;
    }
    vexa::bench::TlsObjects c;
    std::string step;
    const int ret = vexa::bench::tlsConnect(c, "localhost", a.positional[0], a.ca, &step);
    if (ret != 0) {
        std::fprintf(stderr, "vexa-pingpong: %s failed: %s\n", step.c_str(),
                     vexa::bench::tlsError(ret).c_str());
        return 1;
    }
    // A frame with flag 1 (answered with its payload), a frame with flag 0
    // for the device, or the raw bytes.
    std::vector<unsigned char> out;
    if (a.deviceRequest) {
        // Request: function id 17 (C_GetSessionInfo), session 1.
        out = {4, 0, 0, 0, 0, 0x08, 0x11, 0x10, 0x01};
    } else if (a.framed) {
        const auto n = static_cast<uint32_t>(a.size);
        out = {static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
               static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24), 1};
    }
    if (!a.deviceRequest) {
        out.resize(out.size() + a.size, 0x5A);
    }
    std::vector<unsigned char> in(a.deviceRequest ? kMaxPayload : a.size);
    std::vector<int64_t> samples;
    samples.reserve(a.iterations);
    for (size_t i = 0; i < a.iterations + kWarmUp; ++i) {
        if (a.hold && i == kWarmUp) {
            holdForCaller();
        }
        const int64_t start = nowNs();
        if (!vexa::bench::tlsWriteAll(c.ssl, out.data(), out.size()) ||
            !(a.deviceRequest ? readRecord(c.ssl, in)
                              : vexa::bench::tlsReadAll(c.ssl, in.data(), in.size()))) {
            std::fprintf(stderr, "vexa-pingpong: connection lost\n");
            return 1;
        }
        if (i >= kWarmUp) {
            samples.push_back(nowNs() - start);
        }
    }
    printFigures(samples);
    if (a.hold) {
        std::fflush(stdout);
        holdForCaller();
    }
    mbedtls_ssl_close_notify(&c.ssl);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    Args a;
    const std::string mode = argc > 1 ? argv[1] : "";
    if (!parse(argc, argv, a)) {
        std::fprintf(stderr, "vexa-pingpong: bad arguments\n");
        return 2;
    }
    if (mode == "unix-server") {
        return unixServer(a);
    }
    if (mode == "unix-client") {
        return unixClient(a);
    }
    if (mode == "tls-server") {
        return tlsServer(a);
    }
    if (mode == "tls-client") {
        return tlsClient(a);
    }
    std::fprintf(
        stderr,
        "usage: vexa-pingpong unix-server PATH | unix-client PATH [--size N] "
        "[--iterations N]\n"
        "       vexa-pingpong tls-server PORT CERT KEY [--framed] | tls-client PORT "
        "[--ca FILE] [--size N] [--iterations N] [--framed] [--device-request] [--hold]\n");
    return 2;
}
