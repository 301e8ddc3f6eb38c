#include "platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <thread>
#include <chrono>

#include "platform/file_descriptor.h"

namespace vexa::platform {

namespace {
std::string withTrailingSlash(std::string dir) {
    if (!dir.empty() && dir.back() != kDirectorySeparator) {
        dir.push_back(kDirectorySeparator);
    }
    return dir;
}
}  // namespace

std::string executablePath() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        return {};
    }
    return std::string(buf, static_cast<size_t>(n));
}

std::string executableDirectory() {
    std::string path = executablePath();
    size_t slash = path.rfind(kDirectorySeparator);
    if (slash == std::string::npos) {
        return {};
    }
    return path.substr(0, slash + 1);
}

std::string workingDirectory() {
    char buf[PATH_MAX];
    if (getcwd(buf, sizeof buf) == nullptr) {
        return {};
    }
    return withTrailingSlash(buf);
}

const char* environment(const char* name) {
    return std::getenv(name);
}

bool setEnvironment(const char* name, const char* value) {
    return ::setenv(name, value, 1) == 0;
}

bool unsetEnvironment(const char* name) {
    return ::unsetenv(name) == 0;
}

uint64_t currentThreadId() {
    return static_cast<uint64_t>(syscall(SYS_gettid));
}

int64_t monotonicNanoseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int64_t unixTimeSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

bool isAbsolutePath(const std::string& path) {
    return path.size() <= 2 || path.front() == kDirectorySeparator;
}

bool isDirectorySeparator(char c) {
    return c == kDirectorySeparator;
}

void useBinaryStandardStreams() {}

void sleepMilliseconds(int milliseconds) {
    if (milliseconds > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

bool closeOnExec(int descriptor) {
    const int flags = fcntl(descriptor, F_GETFD);
    return flags >= 0 && fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC) == 0;
}

FileAccess fileAccess(const std::string& path) {
    FileAccess access;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return access;
    }
    access.exists = true;
    access.ownerTrusted = info.st_uid == ::geteuid() || info.st_uid == 0;
    access.writableByOthers = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    access.readableByOthers = (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
    return access;
}

int openPrivateAppend(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

std::string userRuntimeDirectory(const std::string& name) {
    const char* base = std::getenv("XDG_RUNTIME_DIR");
    if (base == nullptr || *base != '/') {
        return {};
    }
    const std::string dir = withTrailingSlash(base) + name;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return {};
    }
    // Only a directory of ours, that nobody else can use, is taken.
    struct stat info {};
    if (::lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 077) != 0) {
        return {};
    }
    return dir + kDirectorySeparator;
}

bool writePrivateFile(const std::string& path, const std::string& data) {
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool complete = writeAll(fd, data.data(), data.size());
    const bool written = complete && ::close(fd) == 0;
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        if (!complete) {
            ::close(fd);
        }
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool registerForkHandlers(void (*prepare)(), void (*parent)(), void (*child)()) {
    return pthread_atfork(prepare, parent, child) == 0;
}

}  // namespace vexa::platform
