// The daemon's frame reader (ReadPacket and ReadHeader) on a real TLS
// session whose records travel through memory: the fuzzer decides the
// records (frames, pieces of frames, any bytes), where the stream pauses,
// bytes that are not TLS at all, and how the connection ends. Each frame
// read must fit the capacity given and be read only into its buffer.
//
// Input: a capacity byte, an end byte, then steps, each a kind byte and
// its bytes:
//   0  one TLS record holding the block that follows (2-byte length)
//   1  a frame in one record: flag byte, 2-byte payload length, payload
//   2  raw bytes outside TLS (2-byte length, bytes)
//   3  a pause: the next read would block once
//   4  the client's close notification
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/ssl_cache.h>
#include <mbedtls/x509_crt.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

#include "daemon/relay.h"
#include "daemon/server_context.h"
#include "fuzz_quiet.h"
#include "fuzz_reader.h"

namespace {

// The daemon's side of one connection: its own TLS context over the
// server's configuration, as the daemon gives every client.
struct ServerSide : ServerContext {
    mbedtls_ssl_context ssl;
    ServerSide() { mbedtls_ssl_init(&ssl); }
    ~ServerSide() { mbedtls_ssl_free(&ssl); }
};

// One direction of the connection: chunks of bytes, or pauses.
struct Pipe {
    std::deque<std::vector<uint8_t>> chunks;  // an empty chunk is a pause
    // When nothing is left: during the handshake the peer is still there
    // (would block); afterwards the way the connection ends.
    int whenEmpty = MBEDTLS_ERR_SSL_WANT_READ;
};

struct Endpoint {
    Pipe* in;
    Pipe* out;
};

int pipeSend(void* ctx, const unsigned char* buf, size_t len) {
    auto* end = static_cast<Endpoint*>(ctx);
    end->out->chunks.emplace_back(buf, buf + len);
    return static_cast<int>(len);
}

int pipeRecv(void* ctx, unsigned char* buf, size_t len) {
    Pipe& in = *static_cast<Endpoint*>(ctx)->in;
    if (in.chunks.empty()) {
        return in.whenEmpty;
    }
    std::vector<uint8_t>& front = in.chunks.front();
    if (front.empty()) {
        in.chunks.pop_front();
        return MBEDTLS_ERR_SSL_WANT_READ;
    }
    const size_t n = std::min(len, front.size());
    std::copy_n(front.begin(), n, buf);
    front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
    if (front.empty()) {
        in.chunks.pop_front();
    }
    return static_cast<int>(n);
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The daemon's TLS objects as RunServer sets them up, with a fresh EC key
// and a self-signed certificate, and a client that resumes its first
// session so that each input costs no public-key operation.
struct Connection {
    Pipe toServer;
    Pipe toClient;
    Endpoint serverEnd{&toServer, &toClient};
    Endpoint clientEnd{&toClient, &toServer};
    ServerSide server;

    mbedtls_ssl_context client;
    mbedtls_ssl_config clientConf;
    mbedtls_ssl_session saved;
    bool haveSession = false;

    Connection() {
        mbedtls_ssl_init(&client);
        mbedtls_ssl_config_init(&clientConf);
        mbedtls_ssl_session_init(&saved);
        check(setUp());
    }
    ~Connection() {
        mbedtls_ssl_session_free(&saved);
        mbedtls_ssl_free(&client);
        mbedtls_ssl_config_free(&clientConf);
    }

    bool setUp() {
        ServerSide& d = server;
        if (mbedtls_ctr_drbg_seed(&d.drbg, mbedtls_entropy_func, &d.entropy, nullptr, 0) != 0 ||
            mbedtls_pk_setup(&d.key, mbedtls_pk_info_from_type(MBEDTLS_PK_ECKEY)) != 0 ||
            mbedtls_ecp_gen_key(MBEDTLS_ECP_DP_SECP256R1, mbedtls_pk_ec(d.key),
                                mbedtls_ctr_drbg_random, &d.drbg) != 0 ||
            !selfSign()) {
            return false;
        }
        if (mbedtls_ssl_config_defaults(&d.conf, MBEDTLS_SSL_IS_SERVER,
                                        MBEDTLS_SSL_TRANSPORT_STREAM,
                                        MBEDTLS_SSL_PRESET_DEFAULT) != 0 ||
            mbedtls_ssl_config_defaults(&clientConf, MBEDTLS_SSL_IS_CLIENT,
                                        MBEDTLS_SSL_TRANSPORT_STREAM,
                                        MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
            return false;
        }
        mbedtls_ssl_conf_rng(&d.conf, mbedtls_ctr_drbg_random, &d.drbg);
        mbedtls_ssl_conf_session_cache(&d.conf, &d.cache, mbedtls_ssl_cache_get,
                                       mbedtls_ssl_cache_set);
        mbedtls_ssl_conf_rng(&clientConf, mbedtls_ctr_drbg_random, &d.drbg);
        mbedtls_ssl_conf_authmode(&clientConf, MBEDTLS_SSL_VERIFY_NONE);
        if (mbedtls_ssl_conf_own_cert(&d.conf, &d.serverCert, &d.key) != 0 ||
            mbedtls_ssl_setup(&d.ssl, &d.conf) != 0 ||
            mbedtls_ssl_setup(&client, &clientConf) != 0) {
            return false;
        }
        mbedtls_ssl_set_bio(&d.ssl, &serverEnd, pipeSend, pipeRecv, nullptr);
        mbedtls_ssl_set_bio(&client, &clientEnd, pipeSend, pipeRecv, nullptr);
        return true;
    }

    bool selfSign() {
        mbedtls_x509write_cert cert;
        mbedtls_mpi serial;
        mbedtls_x509write_crt_init(&cert);
        mbedtls_mpi_init(&serial);
        std::array<unsigned char, 2048> der{};
        mbedtls_x509write_crt_set_version(&cert, MBEDTLS_X509_CRT_VERSION_3);
        mbedtls_x509write_crt_set_md_alg(&cert, MBEDTLS_MD_SHA256);
        mbedtls_x509write_crt_set_subject_key(&cert, &server.key);
        mbedtls_x509write_crt_set_issuer_key(&cert, &server.key);
        int length = -1;
        if (mbedtls_mpi_lset(&serial, 1) == 0 &&
            mbedtls_x509write_crt_set_serial(&cert, &serial) == 0 &&
            mbedtls_x509write_crt_set_subject_name(&cert, "CN=vexa fuzz") == 0 &&
            mbedtls_x509write_crt_set_issuer_name(&cert, "CN=vexa fuzz") == 0 &&
            mbedtls_x509write_crt_set_validity(&cert, "20200101000000", "20991231235959") == 0) {
            length = mbedtls_x509write_crt_der(&cert, der.data(), der.size(),
                                               mbedtls_ctr_drbg_random, &server.drbg);
        }
        const bool ok = length > 0 && mbedtls_x509_crt_parse_der(&server.serverCert,
                                                                 der.data() + der.size() - length,
                                                                 static_cast<size_t>(length)) == 0;
        mbedtls_mpi_free(&serial);
        mbedtls_x509write_crt_free(&cert);
        return ok;
    }

    // A new connection, past its handshake.
    void start() {
        toServer = Pipe{};
        toClient = Pipe{};
        check(mbedtls_ssl_session_reset(&server.ssl) == 0);
        check(mbedtls_ssl_session_reset(&client) == 0);
        if (haveSession) {
            check(mbedtls_ssl_set_session(&client, &saved) == 0);
        }
        int cr = MBEDTLS_ERR_SSL_WANT_READ;
        int sr = MBEDTLS_ERR_SSL_WANT_READ;
        for (int i = 0; i < 100 && (cr != 0 || sr != 0); ++i) {
            if (cr != 0) {
                cr = mbedtls_ssl_handshake(&client);
            }
            if (sr != 0) {
                sr = mbedtls_ssl_handshake(&server.ssl);
            }
            check((cr == 0 || cr == MBEDTLS_ERR_SSL_WANT_READ) &&
                  (sr == 0 || sr == MBEDTLS_ERR_SSL_WANT_READ));
        }
        check(cr == 0 && sr == 0);
        if (!haveSession) {
            haveSession = mbedtls_ssl_get_session(&client, &saved) == 0;
        }
    }

    void sendRecord(const std::vector<uint8_t>& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const int ret = mbedtls_ssl_write(&client, bytes.data() + sent, bytes.size() - sent);
            check(ret > 0);
            sent += static_cast<size_t>(ret);
        }
    }
};

constexpr int kCapacities[] = {kRelayCapacity, kRelayCapacity, 0, 1, 5, 100, -1};
constexpr int kEnds[] = {0, MBEDTLS_ERR_SSL_TIMEOUT, MBEDTLS_ERR_NET_CONN_RESET,
                         MBEDTLS_ERR_NET_RECV_FAILED};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    vexa::fuzz::silenceConsoleLines();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Connection* connection = new Connection();
    Connection& c = *connection;
    c.start();

    vexa::fuzz::Reader in(data, size);
    const int capacity = kCapacities[in.u8() % std::size(kCapacities)];
    const int end = kEnds[in.u8() % std::size(kEnds)];
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        switch (in.u8() % 5) {
            case 0:
                c.sendRecord(in.block());
                break;
            case 1: {
                const uint8_t flag = in.u8();
                const uint16_t length = in.u16();
                std::vector<uint8_t> frame = {static_cast<uint8_t>(length),
                                              static_cast<uint8_t>(length >> 8), 0, 0, flag};
                const std::vector<uint8_t> payload = in.bytes(length);
                frame.insert(frame.end(), payload.begin(), payload.end());
                c.sendRecord(frame);
                break;
            }
            case 2: {
                std::vector<uint8_t> raw = in.block();
                if (!raw.empty()) {
                    c.toServer.chunks.push_back(std::move(raw));
                }
                break;
            }
            case 3:
                c.toServer.chunks.emplace_back();
                break;
            default:
                mbedtls_ssl_close_notify(&c.client);
                break;
        }
    }
    c.toServer.whenEmpty = end;

    // Frames until the reader gives up, each into a buffer of exactly the
    // capacity it is told.
    for (int frame = 0; frame < 256; ++frame) {
        std::unique_ptr<unsigned char[]> buffer(new unsigned char[std::max(capacity, 0)]);
        int length = capacity;
        unsigned char flag = 0;
        if (!ReadPacket(c.server.ssl, buffer.get(), &length, &flag)) {
            break;
        }
        check(length >= 0 && length <= std::max(capacity, 0));
    }
    return 0;
}
