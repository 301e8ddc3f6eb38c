// The systemd unit file of a service.
#include <cctype>

#include "platform/service_manager.h"

namespace vexa::platform {

namespace {

// The service's account and sandbox. The account is made by systemd for the
// service's lifetime and has no rights of its own; the group plugdev gives
// it the Vexa device through the udev rule. The daemon only reads files
// (configuration, certificates, key) and opens the device and sockets.
constexpr const char* kServiceSandbox[] = {
    "DynamicUser=yes",
    "SupplementaryGroups=plugdev",
    "ProtectSystem=strict",
    "ProtectHome=read-only",
    "PrivateTmp=yes",
    "NoNewPrivileges=yes",
    "ProtectKernelTunables=yes",
    "ProtectKernelModules=yes",
    "ProtectKernelLogs=yes",
    "ProtectControlGroups=yes",
    "ProtectClock=yes",
    "ProtectHostname=yes",
    "RestrictNamespaces=yes",
    "RestrictRealtime=yes",
    "RestrictSUIDSGID=yes",
    "LockPersonality=yes",
    "MemoryDenyWriteExecute=yes",
    "SystemCallArchitectures=native",
    "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK",
    "CapabilityBoundingSet=",
    "UMask=0077",
};

bool isControlCharacter(char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

// systemd expands "%" specifiers in most settings; "%%" is a plain "%".
bool escapeSpecifiers(const std::string& text, std::string& out) {
    for (char c : text) {
        if (isControlCharacter(c)) {
            return false;
        }
        if (c == '%') {
            out.push_back('%');
        }
        out.push_back(c);
    }
    return true;
}

// systemd refuses an executable whose name holds quotes or backslashes,
// however they are escaped.
bool isUsableExecutable(const std::string& path) {
    return !path.empty() && path.front() == '/' && path.find_first_of("'\"\\") == std::string::npos;
}

bool isPlainWord(const std::string& word) {
    if (word.empty()) {
        return false;
    }
    for (char c : word) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.' &&
            c != '/' && c != '=' && c != ':') {
            return false;
        }
    }
    return true;
}

// One word of a command line: plain words as they are, others in double
// quotes with backslash and quote escaped.
bool appendCommandWord(const std::string& word, bool alwaysQuote, std::string& out) {
    if (!alwaysQuote && isPlainWord(word)) {
        out += word;
        return true;
    }
    std::string escaped;
    if (!escapeSpecifiers(word, escaped)) {
        return false;
    }
    out.push_back('"');
    for (char c : escaped) {
        if (c == '\\' || c == '"') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    out.push_back('"');
    return true;
}

}  // namespace

SystemErrorCode formatServiceUnit(const ServiceDefinition& definition, std::string& text) {
    if (!isUsableExecutable(definition.executable)) {
        return kErrorBadPathname;
    }
    std::string description;
    std::string command;
    if (!escapeSpecifiers(definition.description, description) ||
        !appendCommandWord(definition.executable, true, command)) {
        return kErrorBadPathname;
    }
    for (const std::string& argument : definition.arguments) {
        command.push_back(' ');
        if (!appendCommandWord(argument, false, command)) {
            return kErrorBadPathname;
        }
    }

    text = "# " + definition.name + " as a system service.\n";
    text += "[Unit]\n";
    text += "Description=" + description + "\n";
    text += "Wants=network-online.target\n";
    text += "After=network-online.target\n";
    text += "\n[Service]\n";
    text += "Type=notify\n";
    text += "NotifyAccess=main\n";
    text += "ExecStart=" + command + "\n";
    // Optional: VEXA_KEY_PASS=... for an encrypted key, readable by root only.
    text += "EnvironmentFile=-/etc/default/" + definition.name + "\n";
    text += "Restart=on-failure\n";
    text += "RestartSec=5s\n";
    for (const char* line : kServiceSandbox) {
        text += line;
        text += '\n';
    }
    text += "\n[Install]\n";
    text += "WantedBy=multi-user.target\n";
    return kErrorSuccess;
}

}  // namespace vexa::platform
