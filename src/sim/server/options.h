// The command line of vexa-sim.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/device/virtual_device.h"
#include "sim/firmware/firmware.h"

namespace vexa::sim {

struct SimOptions {
    std::string socketPath;  // empty: no Unix socket
    std::string listen;      // HOST:PORT of the TCP listener; empty: none
    size_t devices = 1;
    std::vector<std::string> serials;   // upper-case, one per device from the first
    std::vector<std::string> products;  // one per device from the first
    Framing framing = Framing::U2f;
    uint16_t reportLength = 64;
    std::string label = "Vexa Token";
    std::string soPin = "12345678";
    std::string userPin = "123456";
    std::string statePath;  // empty: the tokens live in memory only
    uint32_t settleMs = 500;
    std::optional<std::string> control;  // --control: send one command and exit
    bool help = false;
};

// Parses argv; nullopt with `error` set on a bad command line.
std::optional<SimOptions> parseOptions(int argc, const char* const* argv, std::string& error);

std::string helpText();

// The serial number device `index` gets when none is given: 12 upper-case
// hexadecimal digits, the same on every run.
std::string defaultSerial(size_t index);

// The devices the options describe, in order.
std::vector<DeviceConfig> deviceConfigs(const SimOptions& options);
TokenSetup tokenSetup(const SimOptions& options, const DeviceConfig& device);

}  // namespace vexa::sim
