// Private files and who may use them, in terms of Windows security
// descriptors.
//
// Windows has no mode bits; a file's owner and its access control list (DACL)
// say who may use it. Here:
// - "trusted" principals are the user this process runs as, LocalSystem and
//   the Administrators group: the latter two can take any file anyway, as
//   root can on Linux (files an elevated administrator creates belong to
//   Administrators). A file's owner is trusted when it is one of them.
// - a file is "readable / writable by others" when its DACL allows reading
//   (writing, or changing its DACL or owner) to any other principal: another
//   user, a group such as Users, Everyone, Authenticated Users. A file
//   without a DACL is open to all. Deny entries are not weighed: a grant to
//   others counts even if a deny might take it back, which errs on the safe
//   side.
// - "private" (mode 0600 / 0700 on Linux) is a protected DACL, inheriting
//   nothing from the directory, that grants full access to the current user
//   alone.
#include <windows.h>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vexa::platform {

namespace {

struct LocalMemoryFree {
    void operator()(void* memory) const { ::LocalFree(memory); }
};

// The SID of the user this process runs as (its token's user), kept in
// buffer; nullptr when it cannot be read.
PSID currentUserSid(std::vector<unsigned char>& buffer) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return nullptr;
    }
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    buffer.resize(size);
    const bool read =
        size != 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    ::CloseHandle(token);
    return read ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid : nullptr;
}

bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    return ::IsWellKnownSid(sid, type) != FALSE;
}

bool isTrusted(PSID sid, PSID user) {
    return (user != nullptr && ::EqualSid(sid, user)) || isWellKnown(sid, WinLocalSystemSid) ||
           isWellKnown(sid, WinBuiltinAdministratorsSid);
}

constexpr ACCESS_MASK kReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE |
                                     GENERIC_ALL | WRITE_DAC | WRITE_OWNER | DELETE;

// A security descriptor whose protected DACL grants the current user full
// access and nobody else anything; directory: inherited by what is made in
// it. Empty on failure.
std::unique_ptr<void, LocalMemoryFree> privateSecurityDescriptor(bool directory) {
    std::vector<unsigned char> buffer;
    const PSID user = currentUserSid(buffer);
    LPSTR sidText = nullptr;
    if (user == nullptr || !::ConvertSidToStringSidA(user, &sidText)) {
        return nullptr;
    }
    const std::string sddl =
        std::string("D:P(A;") + (directory ? "OICI" : "") + ";FA;;;" + sidText + ")";
    ::LocalFree(sidText);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        return nullptr;
    }
    return std::unique_ptr<void, LocalMemoryFree>(descriptor);
}

std::string withTrailingSeparator(std::string dir) {
    if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') {
        dir.push_back(kDirectorySeparator);
    }
    return dir;
}

}  // namespace

FileAccess fileAccess(const std::string& path) {
    FileAccess access;
    if (::GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return access;
    }
    access.exists = true;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        // Unreadable security: trust nothing about it.
        access.writableByOthers = true;
        access.readableByOthers = true;
        return access;
    }
    std::unique_ptr<void, LocalMemoryFree> held(descriptor);
    std::vector<unsigned char> buffer;
    const PSID user = currentUserSid(buffer);
    access.ownerTrusted = owner != nullptr && isTrusted(owner, user);
    if (dacl == nullptr) {
        access.writableByOthers = true;
        access.readableByOthers = true;
        return access;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry)) {
            continue;
        }
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) {
            continue;
        }
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        // "Owner rights" stands for the owner, whoever that is.
        const bool ownersOwn = isWellKnown(sid, WinCreatorOwnerRightsSid) && access.ownerTrusted;
        if (isTrusted(sid, user) || ownersOwn) {
            continue;
        }
        access.readableByOthers |= (allowed->Mask & kReadRights) != 0;
        access.writableByOthers |= (allowed->Mask & kWriteRights) != 0;
    }
    return access;
}

int openPrivateAppend(const std::string& path) {
    const std::unique_ptr<void, LocalMemoryFree> descriptor = privateSecurityDescriptor(false);
    if (!descriptor) {
        return -1;
    }
    // Not inherited by programs the process starts. The private descriptor
    // applies only when the file is created: one that exists keeps its own.
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    const HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      &attributes, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_APPEND);
    if (fd < 0) {
        ::CloseHandle(file);
    }
    return fd;
}

std::string userRuntimeDirectory(const std::string& name) {
    // Windows has no per-session run-time directory; the user's local
    // application data is the per-user, per-machine place that nobody else
    // may use.
    const char* base = std::getenv("LOCALAPPDATA");
    if (base == nullptr || *base == '\0' || !isAbsolutePath(base)) {
        return {};
    }
    const std::string dir = withTrailingSeparator(base) + name;
    const std::unique_ptr<void, LocalMemoryFree> descriptor = privateSecurityDescriptor(true);
    if (!descriptor) {
        return {};
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    if (!::CreateDirectoryA(dir.c_str(), &attributes) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        return {};
    }
    // Only a real directory (no link to elsewhere) of ours, that nobody else
    // can use, is taken.
    const DWORD attributesFound = ::GetFileAttributesA(dir.c_str());
    if (attributesFound == INVALID_FILE_ATTRIBUTES ||
        (attributesFound & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributesFound & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return {};
    }
    const FileAccess access = fileAccess(dir);
    if (!access.ownerTrusted || access.readableByOthers || access.writableByOthers) {
        return {};
    }
    return dir + kDirectorySeparator;
}

bool writePrivateFile(const std::string& path, const std::string& data) {
    const std::unique_ptr<void, LocalMemoryFree> descriptor = privateSecurityDescriptor(false);
    if (!descriptor) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    // A name beside the target that nothing else holds: CREATE_NEW fails on
    // any file or link of that name, and the next name is tried.
    static volatile LONG counter = 0;
    std::string temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".%lu-%lu-%ld", ::GetCurrentProcessId(),
                      ::GetTickCount(), ::InterlockedIncrement(&counter));
        temporary = path + suffix;
        file = ::CreateFileA(temporary.c_str(), GENERIC_WRITE | DELETE, 0, &attributes, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) {
            return false;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    size_t done = 0;
    while (done < data.size()) {
        const DWORD chunk =
            static_cast<DWORD>(data.size() - done > 0x40000000u ? 0x40000000u : data.size() - done);
        DWORD written = 0;
        if (!::WriteFile(file, data.data() + done, chunk, &written, nullptr) || written == 0) {
            break;
        }
        done += written;
    }
    const bool closed = ::CloseHandle(file) != 0;
    if (done != data.size() || !closed ||
        !::MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        ::DeleteFileA(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace vexa::platform
