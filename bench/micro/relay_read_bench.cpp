// The daemon's frame reading (ReadPacket) over a real TLS session whose
// records travel through memory. The client's write of each frame is part
// of every iteration, so a second benchmark reads the same records with a
// bare mbedtls_ssl_read: the difference is ReadPacket's own cost.
#include <benchmark/benchmark.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/ssl.h>

#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include "daemon/relay.h"
#include "daemon/server_context.h"
#include "tools/tls_endpoint.h"

namespace vexa::bench {
namespace {

// The daemon's side of one connection: its own TLS context over the
// server's configuration, as the daemon gives every client.
struct ServerSide : ServerContext {
    mbedtls_ssl_context ssl;
    ServerSide() { mbedtls_ssl_init(&ssl); }
    ~ServerSide() { mbedtls_ssl_free(&ssl); }
};

// One direction of the connection: bytes written and not read yet.
struct Pipe {
    std::vector<unsigned char> bytes;
    size_t readAt = 0;
};

struct Endpoint {
    Pipe* in;
    Pipe* out;
};

int pipeSend(void* ctx, const unsigned char* buf, size_t len) {
    Pipe& out = *static_cast<Endpoint*>(ctx)->out;
    out.bytes.insert(out.bytes.end(), buf, buf + len);
    return static_cast<int>(len);
}

int pipeRecv(void* ctx, unsigned char* buf, size_t len) {
    Pipe& in = *static_cast<Endpoint*>(ctx)->in;
    const size_t available = in.bytes.size() - in.readAt;
    if (available == 0) {
        return MBEDTLS_ERR_SSL_WANT_READ;
    }
    const size_t n = len < available ? len : available;
    std::memcpy(buf, in.bytes.data() + in.readAt, n);
    in.readAt += n;
    if (in.readAt == in.bytes.size()) {
        in.bytes.clear();  // keeps its capacity: no allocation once warm
        in.readAt = 0;
    }
    return static_cast<int>(n);
}

// The client's TLS objects are the ping-pong tool's; the daemon's are a
// ServerContext.
using Client = vexa::bench::TlsObjects;

// A daemon-side context and a client past their handshake. A pre-shared
// key stands in for certificates: the records, and so the reading, are
// those of an AES-GCM suite either way.
struct Session {
    Pipe toServer;
    Pipe toClient;
    Endpoint serverEnd{&toServer, &toClient};
    Endpoint clientEnd{&toClient, &toServer};
    ServerSide server;
    Client client;

    bool setUp() {
        static const unsigned char psk[32] = {1, 2, 3, 4, 5, 6, 7, 8};
        static const unsigned char identity[] = "bench";
        static const int suites[] = {MBEDTLS_TLS_PSK_WITH_AES_128_GCM_SHA256, 0};
        ServerSide& d = server;
        Client& c = client;
        for (auto [conf, drbg, entropy, endpoint] :
             {std::make_tuple(&d.conf, &d.drbg, &d.entropy, MBEDTLS_SSL_IS_SERVER),
              std::make_tuple(&c.conf, &c.drbg, &c.entropy, MBEDTLS_SSL_IS_CLIENT)}) {
            if (mbedtls_ctr_drbg_seed(drbg, mbedtls_entropy_func, entropy, nullptr, 0) != 0 ||
                mbedtls_ssl_config_defaults(conf, endpoint, MBEDTLS_SSL_TRANSPORT_STREAM,
                                            MBEDTLS_SSL_PRESET_DEFAULT) != 0 ||
                mbedtls_ssl_conf_psk(conf, psk, sizeof psk, identity, sizeof identity - 1) != 0) {
                return false;
            }
            mbedtls_ssl_conf_rng(conf, mbedtls_ctr_drbg_random, drbg);
            mbedtls_ssl_conf_ciphersuites(conf, suites);
        }
        if (mbedtls_ssl_setup(&d.ssl, &d.conf) != 0 || mbedtls_ssl_setup(&c.ssl, &c.conf) != 0) {
            return false;
        }
        mbedtls_ssl_set_bio(&d.ssl, &serverEnd, pipeSend, pipeRecv, nullptr);
        mbedtls_ssl_set_bio(&c.ssl, &clientEnd, pipeSend, pipeRecv, nullptr);
        int cr = MBEDTLS_ERR_SSL_WANT_READ;
        int sr = MBEDTLS_ERR_SSL_WANT_READ;
        for (int i = 0; i < 100 && (cr != 0 || sr != 0); ++i) {
            if (cr != 0) {
                cr = mbedtls_ssl_handshake(&c.ssl);
            }
            if (sr != 0) {
                sr = mbedtls_ssl_handshake(&d.ssl);
            }
            if ((cr != 0 && cr != MBEDTLS_ERR_SSL_WANT_READ) ||
                (sr != 0 && sr != MBEDTLS_ERR_SSL_WANT_READ)) {
                return false;
            }
        }
        return cr == 0 && sr == 0;
    }

    // One frame in one record, as the module's transport writes it.
    bool sendFrame(const std::vector<unsigned char>& frame) {
        return mbedtls_ssl_write(&client.ssl, frame.data(), frame.size()) ==
               static_cast<int>(frame.size());
    }
};

std::vector<unsigned char> frame(size_t payload, unsigned char flag) {
    std::vector<unsigned char> f(kFrameHeaderSize + payload, 0x42);
    for (int i = 0; i < 4; ++i) {
        f[static_cast<size_t>(i)] = static_cast<unsigned char>(payload >> (8 * i));
    }
    f[4] = flag;
    return f;
}

// state.range(0): payload bytes.
void readPacket(benchmark::State& state) {
    auto session = std::make_unique<Session>();
    if (!session->setUp()) {
        state.SkipWithError("TLS set-up failed");
        return;
    }
    const auto payload = static_cast<size_t>(state.range(0));
    const std::vector<unsigned char> f = frame(payload, 1);
    std::vector<unsigned char> buffer(kRelayCapacity);
    for (auto _ : state) {
        int length = kRelayCapacity;
        unsigned char flag = 0;
        if (!session->sendFrame(f) ||
            !ReadPacket(session->server.ssl, buffer.data(), &length, &flag) ||
            length != static_cast<int>(payload)) {
            state.SkipWithError("frame not read");
            break;
        }
    }
}

void tlsReadBaseline(benchmark::State& state) {
    auto session = std::make_unique<Session>();
    if (!session->setUp()) {
        state.SkipWithError("TLS set-up failed");
        return;
    }
    const std::vector<unsigned char> f = frame(static_cast<size_t>(state.range(0)), 1);
    std::vector<unsigned char> buffer(kFrameHeaderSize + kRelayCapacity);
    for (auto _ : state) {
        if (!session->sendFrame(f) ||
            mbedtls_ssl_read(&session->server.ssl, buffer.data(), buffer.size()) !=
                static_cast<int>(f.size())) {
            state.SkipWithError("record not read");
            break;
        }
    }
}

BENCHMARK(readPacket)->Name("Relay/ReadPacket")->ArgName("payload")->Arg(100)->Arg(4096);
BENCHMARK(tlsReadBaseline)
    ->Name("Relay/TlsWriteReadBaseline")
    ->ArgName("payload")
    ->Arg(100)
    ->Arg(4096);

}  // namespace
}  // namespace vexa::bench
