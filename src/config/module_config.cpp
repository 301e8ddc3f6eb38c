#include "config/module_config.h"

#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

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
    if (!isString(address) || !isNumber(port)) {
        return;
    }
    config.port = numberInRange(*port, "port", 1, 65535);
    config.hasPort = true;
    config.address = address->get<std::string>();
    const json* caBundle = member(transport, "cacertbundle");
    if (!isString(caBundle)) {
        throw std::invalid_argument(
            "config value \"cacertbundle\" must be a string when \"address\" and \"port\" are set");
    }
    config.caBundle = caBundle->get<std::string>();
    config.ipTransport = true;
    log.log(LOG_INFO, "Connecting to IP transport.");
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
    if (const json* timeout = member(root, "timeout"); isNumber(timeout)) {
        config.timeoutMs = numberInRange(*timeout, "timeout", 0, INT_MAX);
    }
    if (const json* keyTimeout = member(root, "keytimeout"); isNumber(keyTimeout)) {
        config.keyTimeoutMs = numberInRange(*keyTimeout, "keytimeout", 0, INT_MAX);
    }
    if (const json* exclusive = member(root, "exclusive"); exclusive && exclusive->is_boolean()) {
        config.exclusiveDevice = exclusive->get<bool>();
    }
}

}  // namespace

std::string findModuleConfigDirectory(const std::string& fileName) {
    // 1. The working directory.
    if (opensForReading(fileName)) {
        return platform::workingDirectory();
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
    loadModuleConfigFile(log, config,
                         findModuleConfigDirectory(kModuleConfigFileName) + kModuleConfigFileName);
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
}

}  // namespace talvoranth
