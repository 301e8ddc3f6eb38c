#include "daemon/server.h"

#include <mbedtls/error.h>

#include <memory>

#include "daemon/console.h"
#include "daemon/admission.h"
#include "daemon/relay.h"
#include "daemon/server_context.h"
#include "platform/platform.h"
#include "transport/port.h"
#include "transport/tls_policy.h"

StopFlag StopRequested;

StopFlag& StopFlag::operator=(bool value) {
    value_.store(value);
    if (value) {
        event_.set();
    } else {
        event_.clear();
    }
    return *this;
}

namespace {

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 6;

// The second line of every failed set-up step; the result is passed on.
int SetupFailed(int result) {
    char text[100];
    mbedtls_strerror(result, text, sizeof text);
    ErrorLinef("Last error message was: %d - %s", result, text);
    return result;
}

// Only a warning: the device is looked for again for every client. A
// daemon configured without a serial number and started with no device
// attached has nothing to miss, so it says nothing.
void CheckDevicePresent(const std::string& serial) {
    char** serials = port_list(kVexaVendorId, kVexaProductId);
    const bool noDevices = serials == nullptr || *serials == nullptr;
    bool found = serial.empty() && noDevices;
    for (char** entry = serials; entry != nullptr && *entry != nullptr; ++entry) {
        if (serial == *entry) {
            found = true;
            break;
        }
    }
    port_list_free(serials);
    if (!found) {
        ErrorLinef("Warning, device %s not found on startup.", serial.c_str());
    }
}

// The port as a number from 1 to 65535 in decimal; 0 when it is anything
// else (the bind call would otherwise take a service name, or wrap a large
// number around to another port).
int ParsePort(const std::string& text) {
    if (text.empty() || text.size() > 5) {
        return 0;
    }
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return 0;
        }
        port = port * 10 + (c - '0');
    }
    return port <= 65535 ? port : 0;
}

// A private key that others can read is used all the same (refusing would
// stop a running installation), but the operator is told.
void WarnIfKeyReadable(const std::string& keyFile) {
    const vexa::platform::FileAccess access = vexa::platform::fileAccess(keyFile);
    if (access.exists && access.readableByOthers) {
        ErrorLinef(
            "Warning, key file %s can be read by other users; make it readable by its "
            "owner only (chmod 600).",
            keyFile.c_str());
    }
}

}  // namespace

int RunServer(const DaemonSettings& settings) {
    return RunServer(settings, ServerOptions{});
}

int RunServer(const DaemonSettings& settings, const ServerOptions& options) {
    // 1.-4. Announce, take the key password, look for the device.
    InfoLinef("vexa-daemon V%d.%d starting.", kVersionMajor, kVersionMinor);
    const char* keyPassword = vexa::platform::environment("VEXA_KEY_PASS");
    InfoLinef("Device SN: %s", settings.device.c_str());
    CheckDevicePresent(settings.device);
    if (ParsePort(settings.port) == 0) {
        ErrorLinef("Invalid port \"%s\": the port must be a number from 1 to 65535.",
                   settings.port.c_str());
        return 1;
    }

    // 5. Every TLS object, freed on every way out of this function.
    auto ctx = std::make_unique<ServerContext>();

    // 6.-8. Certificates and key, before anything is bound.
    int ret = mbedtls_x509_crt_parse_file(&ctx->serverCert, settings.certFile.c_str());
    if (ret == MBEDTLS_ERR_PK_FILE_IO_ERROR) {
        ErrorLinef("Failed to open cert file %s: %d", settings.certFile.c_str(), ret);
        return SetupFailed(ret);
    }
    if (ret != 0) {
        ErrorLinef("server cert parse returned: %d", ret);
        return SetupFailed(ret);
    }
    ret = mbedtls_x509_crt_parse_file(&ctx->caChain, settings.caFile.c_str());
    if (ret != 0) {
        ErrorLinef("CA cert chain parse returned: %d", ret);
        return SetupFailed(ret);
    }
    WarnIfKeyReadable(settings.keyFile);
    ret = vexa::tls::parseKeyFile(&ctx->key, settings.keyFile, keyPassword);
    if (ret != 0) {
        ErrorLinef("server key parse returned: %d", ret);
        return SetupFailed(ret);
    }
    // A key of another certificate would let the daemon start and then fail
    // every handshake.
    ret = mbedtls_pk_check_pair(&ctx->serverCert.pk, &ctx->key);
    if (ret != 0) {
        ErrorLinef("server key %s does not match the certificate %s", settings.keyFile.c_str(),
                   settings.certFile.c_str());
        return SetupFailed(ret);
    }
    if (!settings.clientCaFile.empty()) {
        ret = mbedtls_x509_crt_parse_file(&ctx->clientCaChain, settings.clientCaFile.c_str());
        if (ret != 0) {
            ErrorLinef("client CA file %s parse returned: %d", settings.clientCaFile.c_str(), ret);
            return SetupFailed(ret);
        }
    }

    // 9.-10. Bind and listen; an empty address binds every local address.
    InfoLinef("Binding on %s:%s", settings.bindAddress.c_str(), settings.port.c_str());
    const char* bindAddress = settings.bindAddress.empty() ? nullptr : settings.bindAddress.c_str();
    ret =
        mbedtls_net_bind(&ctx->listener, bindAddress, settings.port.c_str(), MBEDTLS_NET_PROTO_TCP);
    if (ret != 0) {
        ErrorLinef("bind returned %d", ret);
        return SetupFailed(ret);
    }

    // 11. Seed the generator.
    static const char kPersonal[] = "vexa_server";
    ret = mbedtls_ctr_drbg_seed(&ctx->drbg, mbedtls_entropy_func, &ctx->entropy,
                                reinterpret_cast<const unsigned char*>(kPersonal),
                                sizeof kPersonal - 1);
    if (ret != 0) {
        ErrorLinef("drbg seed returned %d", ret);
        return SetupFailed(ret);
    }

    // 12.-14. One server configuration and one TLS context: TLS 1.2 or later
    //         with forward-secret AEAD suites. With a client CA every client
    //         must present a certificate that chains to it; without one,
    //         clients are not asked for a certificate.
    ret = mbedtls_ssl_config_defaults(&ctx->conf, MBEDTLS_SSL_IS_SERVER,
                                      MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT);
    if (ret != 0) {
        ErrorLinef("ssl config defaults returned %d\n", ret);
        return SetupFailed(ret);
    }
    vexa::tls::applyPolicy(&ctx->conf);
    mbedtls_ssl_conf_read_timeout(&ctx->conf, options.readTimeoutMs);
    mbedtls_ssl_conf_rng(&ctx->conf, mbedtls_ctr_drbg_random, &ctx->drbg);
    mbedtls_ssl_conf_session_cache(&ctx->conf, &ctx->cache, mbedtls_ssl_cache_get,
                                   mbedtls_ssl_cache_set);
    if (settings.clientCaFile.empty()) {
        mbedtls_ssl_conf_ca_chain(&ctx->conf, &ctx->caChain, nullptr);
        InfoLine(
            "No client CA is set (\"clientca\"): any client that reaches the port may use "
            "the device.");
    } else {
        mbedtls_ssl_conf_ca_chain(&ctx->conf, &ctx->clientCaChain, nullptr);
        mbedtls_ssl_conf_authmode(&ctx->conf, MBEDTLS_SSL_VERIFY_REQUIRED);
        InfoLinef("Clients must present a certificate issued by %s.",
                  settings.clientCaFile.c_str());
    }
    ret = mbedtls_ssl_conf_own_cert(&ctx->conf, &ctx->serverCert, &ctx->key);
    if (ret != 0) {
        ErrorLinef("ssl conf own cert returned %d\n", ret);
        return SetupFailed(ret);
    }
    // Every connection sets up its own TLS context over the configuration;
    // one set up here shows at start whether that works.
    ret = mbedtls_ssl_setup(vexa::mbed::Ssl().get(), &ctx->conf);
    if (ret != 0) {
        ErrorLinef("ssl setup returned %d\n", ret);
        return SetupFailed(ret);
    }

    if (options.onReady) {
        options.onReady();
    }
    ServeClients(*ctx, settings.device, options);
    return 0;
}
