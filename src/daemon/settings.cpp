#include "daemon/settings.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <fstream>

#include <nlohmann/json.hpp>

#include "daemon/console.h"
#include "platform/platform.h"

namespace {

bool opensForReading(const std::string& path) {
    std::ifstream file(path);
    return file.is_open();
}

// One row per setting, in the order they are built.
struct SettingRow {
    std::string DaemonSettings::*field;
    const char* key;     // in "vexa-daemon.json"
    const char* option;  // on the command line
};

const SettingRow kSettingRows[] = {
    {&DaemonSettings::port, "port", "-p"},
    {&DaemonSettings::device, "device", "-d"},
    {&DaemonSettings::bindAddress, "bindaddress", "-i"},
    {&DaemonSettings::caFile, "cafile", "-ca"},
    {&DaemonSettings::certFile, "certfile", "-crt"},
    {&DaemonSettings::keyFile, "keyfile", "-key"},
    {&DaemonSettings::clientCaFile, "clientca", "-clientca"},
};

}  // namespace

ArgumentList CollectArguments(int argc, char** argv) {
    ArgumentList args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i] != nullptr ? argv[i] : "");
    }
    return args;
}

bool HasArgument(const ArgumentList& args, const std::string& word) {
    return std::find(args.begin(), args.end(), word) != args.end();
}

std::string OptionValue(const ArgumentList& args, const std::string& option,
                        const std::string& fallback) {
    auto it = std::find(args.begin(), args.end(), option);
    if (it == args.end() || it + 1 == args.end()) {
        return fallback;
    }
    return *(it + 1);
}

DaemonCommand ChooseCommand(const ArgumentList& args) {
    struct CommandWord {
        const char* word;
        DaemonCommand command;
    };
    static const CommandWord kCommandWords[] = {
        {"start", DaemonCommand::Start},
        {"stop", DaemonCommand::Stop},
        {"restart", DaemonCommand::Restart},
        {"uninstall", DaemonCommand::Uninstall},
    };
    for (const CommandWord& row : kCommandWords) {
        if (HasArgument(args, row.word)) {
            return row.command;
        }
    }
    return DaemonCommand::Run;
}

RunMode ChooseRunMode(const ArgumentList& args) {
    if (HasArgument(args, "install")) {
        return RunMode::Install;
    }
    if (HasArgument(args, "service")) {
        return RunMode::Service;
    }
    return RunMode::Console;
}

std::string FindConfigDirectory() {
    // The working directory's file counts only when it is the user's own
    // and nobody else may change it: it names the key, the certificates and
    // who may connect.
    if (opensForReading(kDaemonConfigFileName)) {
        const vexa::platform::FileAccess access = vexa::platform::fileAccess(kDaemonConfigFileName);
        if (access.ownerTrusted && !access.writableByOthers) {
            return vexa::platform::workingDirectory();
        }
        // Said once, although the directory is looked up more than once.
        static std::atomic<bool> warned{false};
        if (!warned.exchange(true)) {
            ErrorLinef(
                "Warning, %s in the working directory is not used: it %s.", kDaemonConfigFileName,
                access.ownerTrusted ? "may be written by other users" : "belongs to another user");
        }
    }
    return vexa::platform::executableDirectory();
}

bool LoadDaemonConfig(nlohmann::json& config) {
    std::ifstream file(FindConfigDirectory() + kDaemonConfigFileName);
    if (!file.is_open()) {
        InfoLine("Failed to find config file.");
        return false;
    }
    try {
        nlohmann::json parsed = nlohmann::json::parse(file);
        // A document that parses but is not an object holds none of the
        // settings; it is reported like one that does not parse.
        if (parsed.is_object()) {
            config = std::move(parsed);
            return true;
        }
    } catch (const std::exception&) {
    }
    config = nullptr;
    ErrorLine("Failed to load config file.");
    return false;
}

DaemonSettings BuildDaemonSettings(const ArgumentList& args, const nlohmann::json& config) {
    DaemonSettings settings;
    for (const SettingRow& row : kSettingRows) {
        std::string& value = settings.*row.field;
        if (config.is_object()) {
            auto it = config.find(row.key);
            if (it != config.end() && it->is_string()) {
                value = it->get<std::string>();
            } else if (it != config.end() && row.field == &DaemonSettings::port &&
                       it->is_number_integer()) {
                // A port written as a JSON number means the same port; the
                // server refuses one outside 1 to 65535.
                value = it->dump();
            }
        }
        value = OptionValue(args, row.option, value);
    }
    return settings;
}

std::string ResolveDataPath(const std::string& path, const std::string& configDirectory) {
    if (vexa::platform::isAbsolutePath(path)) {
        return path;
    }
    return configDirectory + path;
}

std::string ResolveDataPath(const std::string& path) {
    return ResolveDataPath(path, FindConfigDirectory());
}

void PrintUsage() {
    std::printf("vexa-daemon V%d.%d\n", kDaemonVersionMajor, kDaemonVersionMinor);
    std::printf(
        "usage: vexa-daemon [stop|start|restart|uninstall] -d <device SN> [install] [-p <port>] "
        "[-i <bind address>] [-key <key file>] [-crt <crt file>] [-ca <ca file>] "
        "[-clientca <client ca file>]\n");
    std::printf(
        "\tUse the VEXA_KEY_PASS environment variable to specify the key file password if "
        "required.\n");
    std::fflush(stdout);
}
