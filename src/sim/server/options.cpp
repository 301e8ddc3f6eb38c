#include "sim/server/options.h"

#include <cstdio>
#include <cstdlib>
#include <set>

#include "sim/device/faults.h"
#include "sim/firmware/pin.h"
#include "device_link/virtual_wire.h"

namespace vexa::sim {

namespace {

constexpr size_t kMaxDevices = 16;
constexpr uint32_t kMinReportLength = 8;
constexpr uint32_t kMaxReportLength = 1024;
constexpr uint32_t kMaxSettleMs = 60000;
constexpr size_t kMaxLabelLength = 32;

bool isOption(const std::string& word) {
    return word.size() > 2 && word[0] == '-' && word[1] == '-';
}

bool parseUnsigned(const std::string& text, uint32_t min, uint32_t max, uint32_t& out) {
    if (text.empty() || text.size() > 9) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    if (value < min || value > max) {
        return false;
    }
    out = static_cast<uint32_t>(value);
    return true;
}

// 12 hexadecimal digits, either case; returned upper-case.
std::optional<std::string> normaliseSerial(const std::string& text) {
    if (text.size() != 12) {
        return std::nullopt;
    }
    std::string out;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            out.push_back(c);
        } else if (c >= 'a' && c <= 'f') {
            out.push_back(static_cast<char>(c - 'a' + 'A'));
        } else if (c >= 'A' && c <= 'F') {
            out.push_back(c);
        } else {
            return std::nullopt;
        }
    }
    return out;
}

}  // namespace

std::string defaultSerial(size_t index) {
    // "VEXA" in ASCII hex, then the device number from 1.
    char text[32];
    std::snprintf(text, sizeof text, "56455841%04X", static_cast<unsigned>((index + 1) & 0xFFFF));
    return text;
}

std::optional<SimOptions> parseOptions(int argc, const char* const* argv, std::string& error) {
    SimOptions options;
    bool devicesGiven = false;
    std::vector<std::string> args(argv + 1, argv + argc);
    size_t i = 0;
    // The value of the option at args[i], which must follow it.
    auto value = [&](std::string& out) {
        if (i + 1 >= args.size()) {
            error = args[i] + " needs a value";
            return false;
        }
        out = args[++i];
        return true;
    };
    // One or more values up to the next option.
    auto values = [&](std::vector<std::string>& out) {
        const size_t before = out.size();
        while (i + 1 < args.size() && !isOption(args[i + 1])) {
            out.push_back(args[++i]);
        }
        if (out.size() == before) {
            error = args[i] + " needs a value";
            return false;
        }
        return true;
    };

    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string text;
        uint32_t number = 0;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return options;
        } else if (arg == "--socket") {
            if (!value(options.socketPath)) {
                return std::nullopt;
            }
        } else if (arg == "--listen") {
            if (!value(options.listen)) {
                return std::nullopt;
            }
            std::string host;
            std::string port;
            if (!vexa::virtual_wire::splitHostPort(options.listen, host, port)) {
                error = "--listen takes HOST:PORT, not \"" + options.listen + "\"";
                return std::nullopt;
            }
        } else if (arg == "--devices") {
            if (!value(text)) {
                return std::nullopt;
            }
            if (!parseUnsigned(text, 1, kMaxDevices, number)) {
                error = "--devices takes a number from 1 to " + std::to_string(kMaxDevices);
                return std::nullopt;
            }
            options.devices = number;
            devicesGiven = true;
        } else if (arg == "--serial") {
            std::vector<std::string> given;
            if (!values(given)) {
                return std::nullopt;
            }
            for (const std::string& s : given) {
                std::optional<std::string> serial = normaliseSerial(s);
                if (!serial) {
                    error = "--serial takes 12 hexadecimal digits, not \"" + s + "\"";
                    return std::nullopt;
                }
                options.serials.push_back(*serial);
            }
        } else if (arg == "--product") {
            std::vector<std::string> given;
            if (!values(given)) {
                return std::nullopt;
            }
            for (const std::string& p : given) {
                if (p != "Vexa" && p != "Dorvik") {
                    error = "--product takes Vexa or Dorvik, not \"" + p + "\"";
                    return std::nullopt;
                }
                options.products.push_back(p);
            }
        } else if (arg == "--framing") {
            if (!value(text)) {
                return std::nullopt;
            }
            if (text != "u2f" && text != "plain") {
                error = "--framing takes u2f or plain";
                return std::nullopt;
            }
            options.framing = text == "u2f" ? Framing::U2f : Framing::Plain;
        } else if (arg == "--report-length") {
            if (!value(text)) {
                return std::nullopt;
            }
            if (!parseUnsigned(text, kMinReportLength, kMaxReportLength, number)) {
                error = "--report-length takes a number from " + std::to_string(kMinReportLength) +
                        " to " + std::to_string(kMaxReportLength);
                return std::nullopt;
            }
            options.reportLength = static_cast<uint16_t>(number);
        } else if (arg == "--label") {
            if (!value(options.label)) {
                return std::nullopt;
            }
            if (options.label.size() > kMaxLabelLength) {
                error = "--label takes at most 32 bytes";
                return std::nullopt;
            }
        } else if (arg == "--so-pin" || arg == "--user-pin") {
            std::string& pin = arg == "--so-pin" ? options.soPin : options.userPin;
            if (!value(pin)) {
                return std::nullopt;
            }
            if (!pinLengthValid(pin.size())) {
                error = arg + " takes " + std::to_string(kMinPinLength) + " to " +
                        std::to_string(kMaxPinLength) + " characters";
                return std::nullopt;
            }
        } else if (arg == "--state") {
            if (!value(options.statePath)) {
                return std::nullopt;
            }
        } else if (arg == "--settle-ms") {
            if (!value(text)) {
                return std::nullopt;
            }
            if (!parseUnsigned(text, 0, kMaxSettleMs, number)) {
                error = "--settle-ms takes a number from 0 to " + std::to_string(kMaxSettleMs);
                return std::nullopt;
            }
            options.settleMs = number;
        } else if (arg == "--control") {
            if (!value(text)) {
                return std::nullopt;
            }
            options.control = text;
        } else {
            error = "unknown argument \"" + arg + "\"";
            return std::nullopt;
        }
    }

    if (options.socketPath.empty() && options.listen.empty()) {
        error = "--socket PATH or --listen HOST:PORT is required";
        return std::nullopt;
    }
    const size_t listed = std::max(options.serials.size(), options.products.size());
    if (devicesGiven && listed > options.devices) {
        error = "more serial numbers or products than --devices";
        return std::nullopt;
    }
    if (!devicesGiven && listed > options.devices) {
        options.devices = listed;
    }
    if (options.devices > kMaxDevices) {
        error = "at most " + std::to_string(kMaxDevices) + " devices";
        return std::nullopt;
    }
    std::set<std::string> seen;
    for (const DeviceConfig& device : deviceConfigs(options)) {
        if (!seen.insert(device.serial).second) {
            error = "serial number " + device.serial + " is given twice";
            return std::nullopt;
        }
    }
    return options;
}

std::vector<DeviceConfig> deviceConfigs(const SimOptions& options) {
    std::vector<DeviceConfig> devices;
    for (size_t i = 0; i < options.devices; ++i) {
        DeviceConfig d;
        d.index = i;
        d.serial = i < options.serials.size() ? options.serials[i] : defaultSerial(i);
        d.product = i < options.products.size() ? options.products[i] : "Vexa";
        d.framing = options.framing;
        d.reportLength = options.reportLength;
        d.settleMs = options.settleMs;
        devices.push_back(std::move(d));
    }
    return devices;
}

TokenSetup tokenSetup(const SimOptions& options, const DeviceConfig& device) {
    TokenSetup setup;
    setup.serial = device.serial;
    setup.product = device.product;
    setup.label = options.label;
    setup.soPin = options.soPin;
    setup.userPin = options.userPin;
    return setup;
}

std::string helpText() {
    std::string text =
        "usage: vexa-sim [--socket PATH] [--listen HOST:PORT] [--devices N] [--serial HEX12 ...]\n"
        "                [--product Vexa|Dorvik ...]\n"
        "                [--framing u2f|plain] [--report-length N] [--label TEXT] [--so-pin PIN]\n"
        "                [--user-pin PIN] [--state FILE] [--settle-ms N]\n"
        "       vexa-sim --socket PATH|--listen HOST:PORT --control COMMAND\n"
        "\n"
        "The virtual Vexa device: presents N devices (vendor 0x0483, product 0xA2AC,\n"
        "manufacturer \"Talvoranth\") on the Unix socket PATH, on a TCP port, or on both. Point\n"
        "the host software at it with VEXA_VIRTUAL_DEVICE=PATH or "
        "VEXA_VIRTUAL_DEVICE=tcp:HOST:PORT.\n"
        "\n"
        "  --socket PATH        the Unix socket to listen on\n"
        "  --listen HOST:PORT   the TCP address to listen on as well (port 0: a free port; the\n"
        "                       address bound is printed); for hosts without Unix sockets.\n"
        "                       Anyone who reaches the port reaches the devices: keep it on\n"
        "                       the loopback address\n"
        "  --devices N          number of devices, 1 to 16 (default 1)\n"
        "  --serial HEX12 ...   serial numbers of the devices in order, 12 hexadecimal digits\n"
        "                       (default: 564558410001, 564558410002, ...)\n"
        "  --product NAME ...   product of each device in order, Vexa or Dorvik (default Vexa)\n"
        "  --framing u2f|plain  u2f answers the U2FHID channel allocation (default); plain\n"
        "                       does not, so the host uses the plain framing\n"
        "  --report-length N    HID report length in bytes without the report id (default 64)\n"
        "  --label TEXT         label of a new token (default \"Vexa Token\")\n"
        "  --so-pin PIN         SO PIN of a new token (default \"12345678\")\n"
        "  --user-pin PIN       user PIN of a new token (default \"123456\")\n"
        "  --state FILE         keep each token (label, PINs, token objects) in FILE across\n"
        "                       restarts; without it tokens live in memory only\n"
        "  --settle-ms N        the wait after opening that the device announces to the host\n"
        "                       (default 500, what a real device needs; tests may shorten it)\n"
        "  --control COMMAND    send one fault-injection command to the vexa-sim running at\n"
        "                       PATH (or HOST:PORT) and exit; the commands:\n";
    text += controlCommandHelp();
    text +=
        "  --help               this text\n"
        "\n"
        "vexa-sim prints \"vexa-sim: ready\" once it accepts connections. SIGINT and SIGTERM end\n"
        "it and remove the socket.\n";
    return text;
}

}  // namespace vexa::sim
