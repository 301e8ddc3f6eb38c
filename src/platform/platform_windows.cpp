#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/platform.h"

namespace vexa::platform {

namespace {
std::string withTrailingSeparator(std::string dir) {
    if (!dir.empty() && !isDirectorySeparator(dir.back())) {
        dir.push_back(kDirectorySeparator);
    }
    return dir;
}
}  // namespace

std::string executablePath() {
    // Long paths are rare; the buffer grows until the whole path fits.
    std::string buffer(MAX_PATH, '\0');
    for (;;) {
        const DWORD n =
            GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            return {};
        }
        if (n < buffer.size()) {
            buffer.resize(n);
            return buffer;
        }
        if (buffer.size() >= 32768) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string executableDirectory() {
    std::string path = executablePath();
    size_t separator = path.find_last_of("\\/");
    if (separator == std::string::npos) {
        return {};
    }
    path.resize(separator);
    return withTrailingSeparator(path);
}

std::string workingDirectory() {
    const DWORD needed = GetCurrentDirectoryA(0, nullptr);
    if (needed == 0) {
        return {};
    }
    std::string buffer(needed, '\0');
    const DWORD n = GetCurrentDirectoryA(needed, buffer.data());
    if (n == 0 || n >= needed) {
        return {};
    }
    buffer.resize(n);
    return withTrailingSeparator(buffer);
}

const char* environment(const char* name) {
    return std::getenv(name);
}

// The C runtime keeps its own copy of the environment, which getenv reads;
// _putenv_s changes it and the process's own.
bool setEnvironment(const char* name, const char* value) {
    // An empty value would remove the variable: keep it set, and empty, in
    // the system's copy at least, as on Linux.
    if (*value == '\0') {
        return _putenv_s(name, "") == 0 && SetEnvironmentVariableA(name, "") != 0;
    }
    return _putenv_s(name, value) == 0;
}

bool unsetEnvironment(const char* name) {
    return _putenv_s(name, "") == 0;
}

uint64_t currentThreadId() {
    return GetCurrentThreadId();
}

int64_t monotonicNanoseconds() {
    // Whole seconds and the remainder apart, so that the product never
    // overflows whatever the counter's frequency.
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const int64_t seconds = counter.QuadPart / frequency;
    const int64_t rest = counter.QuadPart % frequency;
    return seconds * 1000000000LL + rest * 1000000000LL / frequency;
}

int64_t unixTimeSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

bool isAbsolutePath(const std::string& path) {
    return path.size() <= 2 || path[1] == ':' || path[0] == '\\' || path[0] == '/';
}

bool isDirectorySeparator(char c) {
    return c == '\\' || c == '/';
}

void useBinaryStandardStreams() {
    std::fflush(stdout);
    std::fflush(stderr);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

void sleepMilliseconds(int milliseconds) {
    if (milliseconds > 0) {
        Sleep(static_cast<DWORD>(milliseconds));
    }
}

bool closeOnExec(int descriptor) {
    // The TLS library keeps a Winsock socket in an int.
    HANDLE handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(descriptor));
    return SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0) != 0;
}

bool registerForkHandlers(void (*)(), void (*)(), void (*)()) {
    return false;
}

}  // namespace vexa::platform
