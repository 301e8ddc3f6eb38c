// ReadPacket and ReadHeader over a real TLS session whose records travel
// through an in-memory pipe, so each test decides exactly where the record
// boundaries fall and how the connection ends.
#include <gtest/gtest.h>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "daemon/relay.h"
#include "daemon/server_context.h"
#include "integration/tls/test_env.h"
#include "integration/tls/tls_test_client.h"
#include "support/temp_dir.h"
#include "support/tls_pipe.h"

namespace {

// The daemon's side of one connection: its own TLS context over the
// server's configuration, as the daemon gives every client.
struct ServerSide : ServerContext {
    mbedtls_ssl_context ssl;
    ServerSide() { mbedtls_ssl_init(&ssl); }
    ~ServerSide() { mbedtls_ssl_free(&ssl); }
};

using vexa::test::Bytes;
using vexa::test::Frame;
using Record = std::vector<unsigned char>;

// The client's TLS objects.
struct Client {
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config conf;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_entropy_context entropy;
    Client() {
        mbedtls_ssl_init(&ssl);
        mbedtls_ssl_config_init(&conf);
        mbedtls_ctr_drbg_init(&drbg);
        mbedtls_entropy_init(&entropy);
    }
    ~Client() {
        mbedtls_ssl_free(&ssl);
        mbedtls_ssl_config_free(&conf);
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    }
};

// A daemon-side ServerContext and a client, past their handshake.
struct Session {
    vexa::test::TlsPipeConnection pipe;
    ServerSide server;
    Client client;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(kRelayCapacity);

    // Each write below the fragment size is one record.
    void send(const std::vector<Record>& records) {
        for (const auto& r : records) {
            ASSERT_EQ(static_cast<int>(r.size()),
                      mbedtls_ssl_write(&client.ssl, r.data(), r.size()));
        }
    }
    // The client's bytes end: the next read past them sees end of stream,
    // or the error given.
    void endStream(int error = 0) {
        pipe.toServer.closed = true;
        pipe.toServer.error = error;
    }

    struct Result {
        bool ok;
        int length;
        unsigned char flag;
        Record payload;
    };
    Result readPacket(int capacity = kRelayCapacity) {
        Result r{false, capacity, 0xEE, {}};
        r.ok = ReadPacket(server.ssl, buffer.data(), &r.length, &r.flag);
        if (r.ok) {
            r.payload.assign(buffer.begin(), buffer.begin() + r.length);
        }
        return r;
    }
};

class RelayReadTest : public ::testing::Test {
protected:
    // A new session; the server is configured as RunServer configures it.
    std::unique_ptr<Session> open() {
        auto s = std::make_unique<Session>();
        ServerSide& d = s->server;
        Client& c = s->client;
        bool ok =
            !pki_.serverCert.empty() &&
            mbedtls_x509_crt_parse_file(&d.serverCert, pki_.serverCert.c_str()) == 0 &&
            mbedtls_pk_parse_keyfile(&d.key, pki_.serverKey.c_str(), nullptr) == 0 &&
            mbedtls_ctr_drbg_seed(&d.drbg, mbedtls_entropy_func, &d.entropy, nullptr, 0) == 0 &&
            mbedtls_ssl_config_defaults(&d.conf, MBEDTLS_SSL_IS_SERVER,
                                        MBEDTLS_SSL_TRANSPORT_STREAM,
                                        MBEDTLS_SSL_PRESET_DEFAULT) == 0 &&
            mbedtls_ctr_drbg_seed(&c.drbg, mbedtls_entropy_func, &c.entropy, nullptr, 0) == 0 &&
            mbedtls_ssl_config_defaults(&c.conf, MBEDTLS_SSL_IS_CLIENT,
                                        MBEDTLS_SSL_TRANSPORT_STREAM,
                                        MBEDTLS_SSL_PRESET_DEFAULT) == 0;
        if (ok) {
            mbedtls_ssl_conf_rng(&d.conf, mbedtls_ctr_drbg_random, &d.drbg);
            mbedtls_ssl_conf_rng(&c.conf, mbedtls_ctr_drbg_random, &c.drbg);
            mbedtls_ssl_conf_authmode(&c.conf, MBEDTLS_SSL_VERIFY_NONE);
            ok = mbedtls_ssl_conf_own_cert(&d.conf, &d.serverCert, &d.key) == 0 &&
                 mbedtls_ssl_setup(&d.ssl, &d.conf) == 0 && mbedtls_ssl_setup(&c.ssl, &c.conf) == 0;
        }
        if (!ok) {
            ADD_FAILURE() << "TLS set-up failed";
            return nullptr;
        }
        s->pipe.bind(c.ssl, d.ssl);
        int cr = 0;
        int sr = 0;
        if (vexa::test::HandshakeInMemory(c.ssl, d.ssl, &cr, &sr) != 0) {
            ADD_FAILURE() << "handshake: client " << cr << ", server " << sr;
            return nullptr;
        }
        return s;
    }

    const vexa::test::TestPki& pki_ = vexa::test::SuitePki();
};

Record Concat(const std::vector<Record>& parts) {
    Record all;
    for (const auto& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

Record Slice(const Record& r, size_t from, size_t to) {
    return Record(r.begin() + static_cast<long>(from), r.begin() + static_cast<long>(to));
}

std::string LibraryText(int code) {
    char text[100];
    mbedtls_strerror(code, text, sizeof text);
    return text;
}

struct Accepted {
    const char* name;
    std::vector<Record> records;
    std::vector<std::pair<unsigned char, Record>> frames;  // expected, in order
};

TEST_F(RelayReadTest, AcceptsEveryWellFormedLayoutOfFrames) {
    const Record big = Bytes(4096, 3);
    const Record ten = Bytes(10, 9);
    const Record split = Frame(0, Bytes(300, 1));
    const std::vector<Accepted> cases = {
        {"empty payload", {Frame(0, {})}, {{0, {}}}},
        {"ten bytes, nonzero flag", {Frame(0x5A, ten)}, {{0x5A, ten}}},
        {"payload at capacity", {Frame(1, big)}, {{1, big}}},
        {"header, then the payload in three records",
         {Slice(split, 0, 5), Slice(split, 5, 6), Slice(split, 6, 200),
          Slice(split, 200, split.size())},
         {{0, Bytes(300, 1)}}},
        {"three frames in one record",
         {Concat({Frame(2, ten), Frame(0, {}), Frame(0xFF, Bytes(3, 0))})},
         {{2, ten}, {0, {}}, {0xFF, Bytes(3, 0)}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto s = open();
        ASSERT_TRUE(s);
        s->send(c.records);
        s->endStream();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        for (const auto& [flag, payload] : c.frames) {
            auto r = s->readPacket();
            EXPECT_TRUE(r.ok);
            EXPECT_EQ(flag, r.flag);
            EXPECT_EQ(static_cast<int>(payload.size()), r.length);
            EXPECT_EQ(payload, r.payload);
        }
        // The client then left without a close notification: no line.
        EXPECT_FALSE(s->readPacket().ok);
        EXPECT_EQ("", testing::internal::GetCapturedStderr());
        EXPECT_EQ("", testing::internal::GetCapturedStdout());
    }
}

struct Refused {
    const char* name;
    std::vector<Record> records;
    int endError;  // what the stream gives after the records (0: end of stream)
    int capacity;
    std::string err;  // exact standard error
    std::string out;  // exact standard output
};

TEST_F(RelayReadTest, RefusesBrokenFramesWithTheirLines) {
    const Record frame = Frame(0, Bytes(20, 5));
    const std::string timeout = std::to_string(MBEDTLS_ERR_SSL_TIMEOUT);
    const std::string recvFailed = std::to_string(MBEDTLS_ERR_NET_RECV_FAILED);
    const std::vector<Refused> cases = {
        {"header split over two records",
         {Slice(frame, 0, 3), Slice(frame, 3, frame.size())},
         0,
         kRelayCapacity,
         "ERROR: short len read\r\n",
         ""},
        {"length one above the buffer",
         {Frame(0, Bytes(4097, 0))},
         0,
         kRelayCapacity,
         "ERROR: packet len too big 4097\r\n",
         ""},
        {"length with the top bit set",
         {{0xFF, 0xFF, 0xFF, 0xFF, 0}},
         0,
         kRelayCapacity,
         "ERROR: packet len too big 4294967295\r\n",
         ""},
        {"length above a smaller capacity",
         {Frame(0, Bytes(101, 0))},
         0,
         100,
         "ERROR: packet len too big 101\r\n",
         ""},
        {"payload shorter than announced, then end of stream",
         {Slice(frame, 0, 15)},
         0,
         kRelayCapacity,
         "",
         ""},
        {"read time-out in the header",
         {},
         MBEDTLS_ERR_SSL_TIMEOUT,
         kRelayCapacity,
         "ERROR: TLS read failed " + timeout + " : " + LibraryText(MBEDTLS_ERR_SSL_TIMEOUT) +
             "\r\n",
         ""},
        {"socket error in the payload",
         {Slice(frame, 0, 12)},
         MBEDTLS_ERR_NET_RECV_FAILED,
         kRelayCapacity,
         "ERROR: TLS read failed " + recvFailed + " : " + LibraryText(MBEDTLS_ERR_NET_RECV_FAILED) +
             "\r\n",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto s = open();
        ASSERT_TRUE(s);
        s->send(c.records);
        s->endStream(c.endError);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_FALSE(s->readPacket(c.capacity).ok);
        EXPECT_EQ(c.err, testing::internal::GetCapturedStderr());
        EXPECT_EQ(c.out, testing::internal::GetCapturedStdout());
    }
}

TEST_F(RelayReadTest, CloseNotificationIsAnInfoLine) {
    auto s = open();
    ASSERT_TRUE(s);
    s->send({Frame(3, Bytes(4, 1))});
    ASSERT_EQ(0, mbedtls_ssl_close_notify(&s->client.ssl));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(s->readPacket().ok);
    EXPECT_FALSE(s->readPacket().ok);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ("TLS read failed, connection closed by peer.\r\n",
              testing::internal::GetCapturedStdout());
}

TEST_F(RelayReadTest, ReadHeaderTakesOneRecordAtMost) {
    auto s = open();
    ASSERT_TRUE(s);
    s->send({{1, 2}, {3, 4, 5, 6}});
    s->endStream();
    unsigned char header[kFrameHeaderSize] = {};
    int count = 0;
    EXPECT_TRUE(ReadHeader(s->server.ssl, header, &count));  // nothing wanted
    EXPECT_EQ(0, count);
    count = kFrameHeaderSize;
    EXPECT_TRUE(ReadHeader(s->server.ssl, header, &count));
    EXPECT_EQ(2, count);
    count = kFrameHeaderSize;
    EXPECT_TRUE(ReadHeader(s->server.ssl, header, &count));
    EXPECT_EQ(4, count);
    EXPECT_EQ(Record({3, 4, 5, 6}), Record(header, header + 4));
    count = kFrameHeaderSize;
    EXPECT_FALSE(ReadHeader(s->server.ssl, header, &count));
    EXPECT_EQ(0, count);
}

}  // namespace
