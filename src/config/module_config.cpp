#include "config/module_config.h"

#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "log/user_notice.h"
#include "platform/platform.h"

namespace talvoranth {

namespace {

using nlohmann::json;
namespace platform = vexa::platform;

bool opensForReading(const std::string& path) {
    std::ifstream file(path);
    return file.is_open();
}

// The member `key` of an object, or null when it is absent (an absent member
// counts as a value of the wrong type).
const json* member(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

bool isNumber(const json* value) {
    return value != nullptr && value->is_number();
}
bool isString(const json* value) {
    return value != nullptr && value->is_string();
}

// A JSON number as an int, fractions cut toward zero. A value outside
// [min, max] cannot be meant (a USB id above 0xFFFF, a negative time-out) and
// would not convert safely, so it fails the load like malformed JSON does.
int numberInRange(const json& value, const char* key, long long min, long long max) {
    bool inRange = false;
    long long result = 0;
    if (value.is_number_unsigned()) {
        const uint64_t u = value.get<uint64_t>();
        inRange = u <= static_cast<uint64_t>(max);
        result = inRange ? static_cast<long long>(u) : 0;
        inRange = inRange && result >= min;
    } else if (value.is_number_integer()) {
        result = value.get<int64_t>();
        inRange = result >= min && result <= max;
    } else {
        const double cut = std::trunc(value.get<double>());
        inRange = cut >= static_cast<double>(min) && cut <= static_cast<double>(max);
        result = inRange ? static_cast<long long>(cut) : 0;
    }
    if (!inRange) {
        throw std::out_of_range(std::string("config value \"") + key +
                                "\" is out of range: " + value.dump());
    }
    return static_cast<int>(result);
}

uint16_t usbNumber(const json& value, const char* key) {
    return static_cast<uint16_t>(numberInRange(value, key, 0, 0xFFFF));
}

// "logging": {"enabled", "loglevel", "logfile", "logconsole"}.
void applyLogging(CLogger& log, const json& logging) {
    const json* enabled = member(logging, "enabled");
    if (enabled != nullptr && enabled->is_boolean() && !enabled->get<bool>()) {
        log.setThreshold(LOG_OFF);
        return;
    }
    if (const json* level = member(logging, "loglevel"); isNumber(level)) {
        log.setThreshold(numberInRange(*level, "loglevel", INT_MIN, INT_MAX));
    }
    if (const json* file = member(logging, "logfile"); isString(file)) {
        log.openLogFile(file->get<std::string>());
    }
    const json* console = member(logging, "logconsole");
    log.setConsole(console != nullptr && console->is_boolean() && console->get<bool>());
}

// "transport": {"vid", "pid", "usagePage", "address", "port", "cacertbundle"}.
// A "udp" member may be present; no datagram transport exists, so it is not read.
void applyTransport(CLogger& log, ModuleConfig& config, const json& transport) {
    struct UsbKey {
        const char* key;
        uint16_t ModuleConfig::*field;
    };
    static constexpr UsbKey kUsbKeys[] = {
        {"vid", &ModuleConfig::vendorId},
        {"pid", &ModuleConfig::productId},
        {"usagePage", &ModuleConfig::usagePage},
    };
    for (const UsbKey& row : kUsbKeys) {
        if (const json* value = member(transport, row.key); isNumber(value)) {
            config.*row.field = usbNumber(*value, row.key);
        }
    }

    const json* address = member(transport, "address");
    const json* port = member(transport, "port");
    if (address == nullptr && port == nullptr) {
        return;  // no daemon named: USB HID
    }
    // The file names a daemon. Whatever is wrong from here on is a fault that
    // keeps the module away from USB, where a PIN meant for the daemon would
    // go to whatever device is plugged in.
    auto fault = [&config](const std::string& text) {
        config.ipTransport = true;
        config.transportFault = text;
        throw std::invalid_argument(text);
    };
    if (!isString(address)) {
        fault("\"transport\": \"address\" must be a text (host name or IP address)");
    }
    if (!isNumber(port)) {
        fault("\"transport\": \"port\" must be a number from 1 to 65535");
    }
    try {
        config.port = numberInRange(*port, "port", 1, 65535);
    } catch (const std::out_of_range&) {
        fault("\"transport\": \"port\" must be a number from 1 to 65535, not " + port->dump());
    }
    config.hasPort = true;
    config.address = address->get<std::string>();
    const json* caBundle = member(transport, "cacertbundle");
    if (!isString(caBundle)) {
        fault(
            "\"transport\": \"cacertbundle\" must name the CA file that the daemon's "
            "certificate is checked against");
    }
    config.caBundle = caBundle->get<std::string>();
    const json* clientCert = member(transport, "clientcert");
    const json* clientKey = member(transport, "clientkey");
    if (clientCert != nullptr || clientKey != nullptr) {
        if (!isString(clientCert) || !isString(clientKey)) {
            fault("\"transport\": \"clientcert\" and \"clientkey\" must both name files");
        }
        config.clientCert = clientCert->get<std::string>();
        config.clientKey = clientKey->get<std::string>();
    }
    config.ipTransport = true;
    log.log(LOG_INFO, "Connecting to IP transport.");
}

// A time-out in milliseconds. 0 or below would wait without limit (a daemon
// or device that never answers would hang the application), so it keeps the
// default.
void applyTimeout(CLogger& log, const json& root, const char* key, int* timeoutMs) {
    const json* value = member(root, key);
    if (!isNumber(value)) {
        return;
    }
    const int milliseconds = numberInRange(*value, key, INT_MIN, INT_MAX);
    if (milliseconds <= 0) {
        log.log(LOG_WARN, "config value \"%s\" must be above 0; the default %d ms stays", key,
                *timeoutMs);
        return;
    }
    *timeoutMs = milliseconds;
}

// Applies the parsed file in the order logging, transport, time-outs. Throws
// on the first fault; what was applied before it stays in force.
void applyConfig(CLogger& log, ModuleConfig& config, const json& root) {
    if (root.is_null()) {
        return;
    }
    if (!root.is_object()) {
        throw std::invalid_argument(std::string("config top level is ") + root.type_name() +
                                    ", not an object");
    }
    if (const json* logging = member(root, "logging"); logging && logging->is_object()) {
        applyLogging(log, *logging);
    }
    if (const json* transport = member(root, "transport"); transport && transport->is_object()) {
        applyTransport(log, config, *transport);
    }
    applyTimeout(log, root, "timeout", &config.timeoutMs);
    applyTimeout(log, root, "keytimeout", &config.keyTimeoutMs);
    if (const json* exclusive = member(root, "exclusive"); exclusive && exclusive->is_boolean()) {
        config.exclusiveDevice = exclusive->get<bool>();
    }
}

}  // namespace

std::string findModuleConfigDirectory(const std::string& fileName, std::string* warning) {
    // 1. The working directory, only when the file is the user's own: a file
    //    planted in a shared or cloned directory must not send the user's PINs
    //    to another daemon or point the log at the user's files.
    if (opensForReading(fileName)) {
        const platform::FileAccess access = platform::fileAccess(fileName);
        if (access.ownerTrusted && !access.writableByOthers) {
            return platform::workingDirectory();
        }
        if (warning != nullptr) {
            *warning =
                fileName + " in the working directory is not used: it " +
                (access.ownerTrusted ? "may be written by other users" : "belongs to another user");
        }
    }
    // 2. The per-user directory ".vexa" (an empty variable counts as unset).
    const char* home = platform::environment("HOME");
    if (home == nullptr || *home == '\0') {
        home = platform::environment("USERPROFILE");
    }
    std::string userDirectory;
    if (home != nullptr && *home != '\0') {
        userDirectory = home;
        if (!platform::isDirectorySeparator(userDirectory.back())) {
            userDirectory.push_back(platform::kDirectorySeparator);
        }
    }
    userDirectory += ".vexa";
    userDirectory.push_back(platform::kDirectorySeparator);
    std::error_code error;
    if (std::filesystem::is_directory(userDirectory, error) &&
        opensForReading(userDirectory + fileName)) {
        return userDirectory;
    }
    // 3. The executable's directory, whether or not the file is there.
    return platform::executableDirectory();
}

void loadModuleConfig(CLogger& log, ModuleConfig& config) {
    std::string warning;
    const std::string directory = findModuleConfigDirectory(kModuleConfigFileName, &warning);
    loadModuleConfigFile(log, config, directory + kModuleConfigFileName);
    // Logged once the file used instead has set the log up.
    if (!warning.empty()) {
        log.log(LOG_WARN, warning);
    }
}

void loadModuleConfigFile(CLogger& log, ModuleConfig& config, const std::string& path) {
    std::ifstream file(path);
    if (!file.is_open()) {
        log.log(LOG_INFO, "Config file not found.");
        return;
    }
    try {
        const json root = json::parse(file);
        applyConfig(log, config, root);
    } catch (const std::exception& e) {
        log.log(LOG_WARN, "Failed to parse config");
        log.log(LOG_DEBUG, "%s", e.what());
    }
    if (!config.transportFault.empty()) {
        noticeUser(&log, path + ": " + config.transportFault + "; no device is offered");
    }
}

}  // namespace talvoranth
