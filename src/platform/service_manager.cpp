// Service installation and control over systemd: unit files in the unit
// directory, everything else through systemctl.
#include "platform/service_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform/child_process.h"
#include "platform/file_descriptor.h"
#include "platform/platform.h"

namespace vexa::platform {

namespace {

constexpr const char* kDefaultUnitDirectory = "/etc/systemd/system/";
constexpr const char* kDefaultSystemctl = "systemctl";

std::string unitName(const std::string& name) {
    return name + ".service";
}

std::string unitPath(const std::string& name) {
    return serviceUnitDirectory() + unitName(name);
}

// Runs systemctl without ever asking for a password interactively.
ProgramResult runSystemctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "--no-ask-password");
    return runProgram(systemctlProgram(), arguments);
}

// The code of a systemctl run (0 when it succeeded). When the failure maps
// to no specific code, systemctl's own explanation is passed on to standard
// error, since the code alone would not tell the user what went wrong.
SystemErrorCode resultCode(const ProgramResult& result) {
    if (result.startError != 0) {
        return systemErrorFromErrno(result.startError);
    }
    if (result.exitStatus == 0) {
        return kErrorSuccess;
    }
    SystemErrorCode code = systemctlFailureCode(result.exitStatus, result.errorOutput);
    if (code == kErrorExceptionInService && !result.errorOutput.empty()) {
        std::fwrite(result.errorOutput.data(), 1, result.errorOutput.size(), stderr);
        std::fflush(stderr);
    }
    return code;
}

SystemErrorCode systemctl(std::vector<std::string> arguments) {
    return resultCode(runSystemctl(std::move(arguments)));
}

// The unit's active state as systemctl names it ("active", "inactive",
// "activating", "deactivating", "failed", ...).
SystemErrorCode activeState(const std::string& name, std::string& state) {
    ProgramResult result = runSystemctl({"is-active", unitName(name)});
    // is-active exits nonzero for every state but active; only a run that
    // names no state at all has failed.
    state = result.output.substr(0, result.output.find('\n'));
    if (result.startError != 0 || state.empty()) {
        SystemErrorCode code = resultCode(result);
        return code != kErrorSuccess ? code : kErrorExceptionInService;
    }
    return kErrorSuccess;
}

// What a start or a stop request meets in each state; states not listed
// count as not running.
struct StateRule {
    const char* state;
    SystemErrorCode onStart;
    SystemErrorCode onStop;
};
constexpr StateRule kStateRules[] = {
    {"active", kErrorServiceAlreadyRunning, kErrorSuccess},
    {"reloading", kErrorServiceAlreadyRunning, kErrorSuccess},
    {"refreshing", kErrorServiceAlreadyRunning, kErrorSuccess},
    {"activating", kErrorServiceAlreadyRunning, kErrorSuccess},
    {"deactivating", kErrorServiceAlreadyRunning, kErrorServiceCannotAcceptControl},
};
constexpr StateRule kNotRunning = {"", kErrorSuccess, kErrorServiceNotActive};

const StateRule& ruleFor(const std::string& state) {
    for (const StateRule& rule : kStateRules) {
        if (state == rule.state) {
            return rule;
        }
    }
    return kNotRunning;
}

// A start or a stop (`verb`): refused as the unit's state says (`request`
// of its StateRule), else asked of systemd without waiting for it.
SystemErrorCode changeState(const std::string& name, SystemErrorCode StateRule::*request,
                            const char* verb) {
    std::string state;
    if (SystemErrorCode code = activeState(name, state); code != kErrorSuccess) {
        return code;
    }
    if (SystemErrorCode code = ruleFor(state).*request; code != kErrorSuccess) {
        return code;
    }
    return systemctl({"--no-block", verb, unitName(name)});
}

SystemErrorCode writeText(int fd, const std::string& text) {
    errno = 0;
    if (!writeAll(fd, text.data(), text.size())) {
        return systemErrorFromErrno(errno != 0 ? errno : EIO);
    }
    return kErrorSuccess;
}

// Creates path with the text, never over an existing file and never as a
// partly written file: the text goes to a temporary file in the same
// directory, which is then linked under the final name.
SystemErrorCode writeNewFile(const std::string& path, const std::string& text) {
    std::string temporary = path + ".XXXXXX";
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return systemErrorFromErrno(errno);
    }
    SystemErrorCode code = writeText(fd, text);
    if (code == kErrorSuccess && (fchmod(fd, 0644) != 0 || fsync(fd) != 0)) {
        code = systemErrorFromErrno(errno);
    }
    if (close(fd) != 0 && code == kErrorSuccess) {
        code = systemErrorFromErrno(errno);
    }
    if (code == kErrorSuccess && link(temporary.c_str(), path.c_str()) != 0) {
        code = errno == EEXIST ? kErrorServiceExists : systemErrorFromErrno(errno);
    }
    unlink(temporary.c_str());
    return code;
}

std::string toLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

std::string serviceUnitDirectory() {
    const char* configured = environment(kServiceUnitDirectoryVariable);
    if (configured == nullptr || *configured == '\0') {
        return kDefaultUnitDirectory;
    }
    std::string directory = configured;
    if (directory.back() != kDirectorySeparator) {
        directory.push_back(kDirectorySeparator);
    }
    return directory;
}

std::string systemctlProgram() {
    const char* configured = environment(kSystemctlVariable);
    return configured != nullptr && *configured != '\0' ? configured : kDefaultSystemctl;
}

SystemErrorCode serviceExecutablePath(std::string& path) {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n < 0) {
        return systemErrorFromErrno(errno);
    }
    if (static_cast<size_t>(n) >= sizeof buffer) {
        return kErrorBadPathname;
    }
    path.assign(buffer, static_cast<size_t>(n));
    std::string unused;
    return formatServiceUnit({"check", "", path, {}}, unused);
}

SystemErrorCode openServiceManager(ServiceManagerAccess access) {
    const std::string directory = serviceUnitDirectory();
    struct stat info {};
    if (stat(directory.c_str(), &info) != 0) {
        return systemErrorFromErrno(errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        return kErrorPathNotFound;
    }
    if (access != ServiceManagerAccess::Connect && ::access(directory.c_str(), W_OK | X_OK) != 0) {
        return systemErrorFromErrno(errno);
    }
    return kErrorSuccess;
}

SystemErrorCode createService(const ServiceDefinition& definition) {
    std::string text;
    if (SystemErrorCode code = formatServiceUnit(definition, text); code != kErrorSuccess) {
        return code;
    }
    const std::string path = unitPath(definition.name);
    if (SystemErrorCode code = writeNewFile(path, text); code != kErrorSuccess) {
        return code;
    }
    SystemErrorCode code = systemctl({"daemon-reload"});
    if (code == kErrorSuccess) {
        code = systemctl({"enable", unitName(definition.name)});
    }
    if (code != kErrorSuccess) {
        // A unit that systemd did not take would block the next install.
        unlink(path.c_str());
    }
    return code;
}

SystemErrorCode openService(const std::string& name) {
    struct stat info {};
    if (stat(unitPath(name).c_str(), &info) == 0) {
        return S_ISREG(info.st_mode) ? kErrorSuccess : kErrorServiceDoesNotExist;
    }
    return errno == ENOENT || errno == ENOTDIR ? kErrorServiceDoesNotExist
                                               : systemErrorFromErrno(errno);
}

SystemErrorCode startService(const std::string& name) {
    return changeState(name, &StateRule::onStart, "start");
}

SystemErrorCode stopService(const std::string& name) {
    return changeState(name, &StateRule::onStop, "stop");
}

SystemErrorCode deleteService(const std::string& name) {
    if (SystemErrorCode code = systemctl({"disable", unitName(name)}); code != kErrorSuccess) {
        return code;
    }
    if (unlink(unitPath(name).c_str()) != 0) {
        return errno == ENOENT ? kErrorServiceDoesNotExist : systemErrorFromErrno(errno);
    }
    // The unit is gone from disk either way; a failed reload only delays
    // the moment systemd forgets it.
    systemctl({"daemon-reload"});
    return kErrorSuccess;
}

SystemErrorCode systemctlFailureCode(int exitStatus, const std::string& errorText) {
    // systemctl's exit status 4 means "no permission" (LSB).
    if (exitStatus == 4) {
        return kErrorAccessDenied;
    }
    struct Pattern {
        const char* text;
        SystemErrorCode code;
    };
    static constexpr Pattern kPatterns[] = {
        {"access denied", kErrorAccessDenied},
        {"authentication required", kErrorAccessDenied},
        {"permission denied", kErrorAccessDenied},
        {"not permitted", kErrorAccessDenied},
        {"is masked", kErrorServiceDisabled},
        {"not found", kErrorServiceDoesNotExist},
        {"does not exist", kErrorServiceDoesNotExist},
        {"not loaded", kErrorServiceDoesNotExist},
    };
    const std::string text = toLower(errorText);
    for (const Pattern& pattern : kPatterns) {
        if (text.find(pattern.text) != std::string::npos) {
            return pattern.code;
        }
    }
    // Exit status 5 means "not installed": the unit is unknown.
    if (exitStatus == 5) {
        return kErrorServiceDoesNotExist;
    }
    return kErrorExceptionInService;
}

SystemErrorCode systemErrorFromErrno(int error) {
    switch (error) {
        case 0:
            return kErrorSuccess;
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrorAccessDenied;
        case ENOENT:
            return kErrorFileNotFound;
        case ENOTDIR:
            return kErrorPathNotFound;
        case ENOMEM:
        case EAGAIN:
            return kErrorNotEnoughMemory;
        case ENOSPC:
        case EDQUOT:
            return kErrorDiskFull;
        case ENAMETOOLONG:
            return kErrorBadPathname;
        default:
            return kErrorGenFailure;
    }
}

}  // namespace vexa::platform
