// The only place that knows the operating system. Every other directory
// reaches processes, threads, clocks and paths through these functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vexa::platform {

// Full path of the running executable ("" when it cannot be read).
std::string executablePath();

// Directory of the running executable, ending in the separator ("" when
// unknown).
std::string executableDirectory();

// Current working directory, ending in the separator ("" when unknown).
std::string workingDirectory();

// Value of an environment variable, or nullptr when it is not set.
const char* environment(const char* name);

// Sets or removes an environment variable of the process (the programs it
// starts inherit it). False when the system refused.
bool setEnvironment(const char* name, const char* value);
bool unsetEnvironment(const char* name);

// The operating system's numeric id of the calling thread.
uint64_t currentThreadId();

// Monotonic clock in nanoseconds (Windows: the performance counter).
int64_t monotonicNanoseconds();

// Wall clock: seconds since 1970-01-01 UTC.
int64_t unixTimeSeconds();

// The directory separator and the rule for absolute paths. Linux: a path is
// absolute when it starts with '/' or has at most two characters. Windows:
// when it has at most two characters, a drive letter ("C:..."), or starts
// with a backslash or a slash (the root of the current drive, or a UNC
// path).
#ifdef _WIN32
constexpr char kDirectorySeparator = '\\';
#else
constexpr char kDirectorySeparator = '/';
#endif
bool isAbsolutePath(const std::string& path);
// True for the separator, and on Windows for '/' too, which it accepts as
// well.
bool isDirectorySeparator(char c);

// Makes standard output and error write their bytes as they are. Windows
// would otherwise turn every "\n" into "\r\n", and the "\r\n" that ends
// the daemon's lines into "\r\r\n". Nothing to do on Linux.
void useBinaryStandardStreams();

// Sleep the calling thread.
void sleepMilliseconds(int milliseconds);

// Keeps an open descriptor (on Windows a socket) from programs the process
// starts later (a PKCS#11 application that runs another program must not
// hand it our connection). False when the flag could not be set.
bool closeOnExec(int descriptor);

// What a file's owner and permissions say about who else can use it.
struct FileAccess {
    bool exists = false;
    // Owned by the effective user of this process or by root (who can change
    // any file anyway).
    bool ownerTrusted = false;
    bool writableByOthers = false;  // group or others may write to it
    bool readableByOthers = false;  // group or others may read it
};
FileAccess fileAccess(const std::string& path);

// Opens (creating when missing, mode 0600) a file for appending; -1 on
// failure. A file that exists keeps its mode.
int openPrivateAppend(const std::string& path);

// The user's private directory for run-time files of this program, created
// (mode 0700) when missing: "$XDG_RUNTIME_DIR/<name>/". "" when the system
// gives the user no such place.
std::string userRuntimeDirectory(const std::string& name);

// Replaces path with data as a new file readable by the owner only (written
// beside it under an unguessable name, then renamed). False on failure.
bool writePrivateFile(const std::string& path, const std::string& data);

// Sends small writes at once instead of holding them back for a full
// segment (a TLS handshake is a chain of small records). False on failure.
bool setTcpNoDelay(int socketDescriptor);

// The 4 (IPv4) or 16 (IPv6) bytes of an IP address in text form; empty when
// the text is not an address (a host name, say).
std::vector<unsigned char> ipAddressBytes(const std::string& text);

// Writes to a socket without the process-wide SIGPIPE a closed peer would
// raise (which ends a process that keeps the default action). Returns the
// count written or -1 with errno set, as send(2).
long sendNoSignal(int socketDescriptor, const void* data, size_t length);

// True when the peer of a connected socket has ended the connection (its
// side shut down, reset, or the socket failed), even while bytes it sent
// before are still unread. Never waits.
bool peerHasClosed(int socketDescriptor);

// Connects a TCP socket to host:port, waiting at most timeoutMs for the
// connection. Returns the connected, blocking, close-on-exec descriptor, or -1
// with a reason in *error.
int connectTcp(const std::string& host, int port, int timeoutMs, std::string* error);

// Registers handlers that run around fork(): prepare in the parent before
// it, then parent in the parent or child in the child after it. False when
// they could not be registered, and on systems without fork (Windows),
// where there is nothing to guard.
bool registerForkHandlers(void (*prepare)(), void (*parent)(), void (*child)());

}  // namespace vexa::platform
