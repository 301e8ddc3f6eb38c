// The module's configuration file "vexaconfig.json": logging, the USB
// identifiers used to list devices, an optional remote daemon reached over
// TLS, and the read time-outs. Without the file every setting keeps its
// default and the module talks to USB HID devices.
#pragma once

#include <cstdint>
#include <string>

#include "log/logger.h"

namespace talvoranth {

struct ModuleConfig {
    uint16_t vendorId = 0x0483;
    uint16_t productId = 0xA2AC;
    uint16_t usagePage = 0;  // 0: any usage page
    // Set when the file names a daemon ("address" and "port"); the module
    // then reaches its one device through that daemon over TLS.
    bool ipTransport = false;
    std::string address;
    int port = 0;
    bool hasPort = false;
    std::string caBundle;      // trusted CA certificates (PEM or DER) for the TLS client
    int timeoutMs = 12000;     // read time-out of every transport
    int keyTimeoutMs = 65000;  // read time-out while a key pair is generated
    // "exclusive": over USB HID, hold each device for this application alone
    // from its first use to C_Finalize (or the end of the process), so that
    // no other application shares its login; others wait and then fail.
    bool exclusiveDevice = false;
};

constexpr const char* kModuleConfigFileName = "vexaconfig.json";

// The directory to read `fileName` from, ending in '/': the working directory
// when the file is there; else "$HOME/.vexa/" (or "$USERPROFILE/.vexa/", or
// the relative ".vexa/" with neither set) when the file is there; else the
// directory of the running executable, whether or not the file is there ("" when
// that is unknown).
std::string findModuleConfigDirectory(const std::string& fileName);

// Reads "vexaconfig.json" from findModuleConfigDirectory into `config` and
// into the log's threshold, console flag and log file. A missing file leaves
// every default; a malformed one keeps what was applied before the fault and
// logs "Failed to parse config" at WARN with the reason at DEBUG.
void loadModuleConfig(CLogger& log, ModuleConfig& config);

// The same from an explicit file path.
void loadModuleConfigFile(CLogger& log, ModuleConfig& config, const std::string& path);

}  // namespace talvoranth
