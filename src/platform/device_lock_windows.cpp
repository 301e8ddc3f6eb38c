// Byte-range locks (LockFileEx) on a lock file (see
// byte_range_device_lock.h). The locks belong to the file handle: two openings in one process are
// two users. The system releases them when the handle is closed or its process ends, however it
// ends.
//
// A device interface (hidapi's "\\?\hid#..." path) cannot be locked itself,
// so every device is locked through a file: a lock file the caller names
// (create = true), or one named after the device in the shared directory.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "platform/byte_range_device_lock.h"
#include "platform/platform.h"

namespace vexa::platform {

namespace {

std::wstring widened(const std::string& text) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(std::max(n, 0)), L'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    }
    return wide;
}

std::string systemMessage(DWORD code) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = n > 0 && text != nullptr ? std::string(text, n) : std::string();
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(code) : message;
}

// The lock file of a device interface: its path in lower case (the system
// compares them without case), with every character that a file name may
// not hold made a '-'.
std::string lockFileOfDevice(const std::string& devicePath) {
    std::string name = devicePath;
    for (char& c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        c = std::isalnum(u) != 0 || c == '-' || c == '_' || c == '.' || c == '{' || c == '}' ||
                    c == '&'
                ? static_cast<char>(std::tolower(u))
                : '-';
    }
    return DeviceLock::sharedDirectory() + "device-" + name + ".lock";
}

class WindowsDeviceLock : public ByteRangeDeviceLock {
public:
    explicit WindowsDeviceLock(HANDLE file) : file_(file) {}
    ~WindowsDeviceLock() override { CloseHandle(file_); }
    WindowsDeviceLock(const WindowsDeviceLock&) = delete;
    WindowsDeviceLock& operator=(const WindowsDeviceLock&) = delete;

    // A handle may take a shared lock over its own exclusive one; the first
    // unlock of the byte then drops the exclusive lock and leaves the shared
    // one, with no moment in which the byte is free.
    void share() override {
        if (tryLock(kPresenceByte, false) == Outcome::Taken) {
            unlock(kPresenceByte);
        }
    }

protected:
    Outcome tryLock(int byte, bool exclusive) override {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(byte);
        const DWORD flags =
            LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? DWORD{LOCKFILE_EXCLUSIVE_LOCK} : DWORD{0});
        if (LockFileEx(file_, flags, 0, 1, 0, &at) != 0) {
            return Outcome::Taken;
        }
        const DWORD code = GetLastError();
        return code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING ? Outcome::Busy
                                                                        : Outcome::Failed;
    }

    void unlock(int byte) override {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(byte);
        UnlockFileEx(file_, 0, 1, 0, &at);
    }

private:
    HANDLE file_;
};

HANDLE openLockFile(const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::unique_ptr<DeviceLock> DeviceLock::open(const std::string& path, bool create,
                                             std::string& error) {
    const std::string file = create ? path : lockFileOfDevice(path);
    const std::wstring wide = widened(file);
    // Either access right lets a handle lock. A file another user made may
    // be readable only: locking it needs no more.
    HANDLE handle = openLockFile(wide, GENERIC_READ | GENERIC_WRITE);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        handle = openLockFile(wide, GENERIC_READ);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        error = "Unable to lock device " + path + ": " + systemMessage(GetLastError());
        return nullptr;
    }
    return std::make_unique<WindowsDeviceLock>(handle);
}

std::string DeviceLock::sharedDirectory() {
    const char* programData = environment("ProgramData");
    std::string directory = programData != nullptr && *programData != '\0'
                                ? std::string(programData)
                                : std::string("C:\\ProgramData");
    if (!isDirectorySeparator(directory.back())) {
        directory += kDirectorySeparator;
    }
    directory += "Vexa\\";
    CreateDirectoryW(widened(directory).c_str(), nullptr);  // or it exists
    return directory;
}

}  // namespace vexa::platform
