#include "daemon/server.h"

#include <mbedtls/error.h>

#include <memory>

#include "daemon/console.h"
#include "daemon/relay.h"
#include "daemon/server_context.h"
#include "platform/platform.h"
#include "transport/port.h"

std::atomic<bool> StopRequested{false};

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
    ret = mbedtls_pk_parse_keyfile(&ctx->key, settings.keyFile.c_str(), keyPassword);
    if (ret != 0) {
        ErrorLinef("server key parse returned: %d", ret);
        return SetupFailed(ret);
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

    // 12.-14. One server configuration and one TLS context. Clients are not
    //         asked for a certificate (the library's server default).
    ret = mbedtls_ssl_config_defaults(&ctx->conf, MBEDTLS_SSL_IS_SERVER,
                                      MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT);
    if (ret != 0) {
        ErrorLinef("ssl config defaults returned %d\n", ret);
        return SetupFailed(ret);
    }
    mbedtls_ssl_conf_read_timeout(&ctx->conf, options.readTimeoutMs);
    mbedtls_ssl_conf_rng(&ctx->conf, mbedtls_ctr_drbg_random, &ctx->drbg);
    mbedtls_ssl_conf_session_cache(&ctx->conf, &ctx->cache, mbedtls_ssl_cache_get,
                                   mbedtls_ssl_cache_set);
    mbedtls_ssl_conf_ca_chain(&ctx->conf, &ctx->caChain, nullptr);
    ret = mbedtls_ssl_conf_own_cert(&ctx->conf, &ctx->serverCert, &ctx->key);
    if (ret != 0) {
        ErrorLinef("ssl conf own cert returned %d\n", ret);
        return SetupFailed(ret);
    }
    ret = mbedtls_ssl_setup(&ctx->ssl, &ctx->conf);
    if (ret != 0) {
        ErrorLinef("ssl setup returned %d\n", ret);
        return SetupFailed(ret);
    }

    if (options.onReady) {
        options.onReady();
    }
    // Serve until a stop is seen while waiting for a client.
    while (!ServeOneClient(*ctx, settings.device)) {
    }
    return 0;
}
