// The only place that knows the operating system. Every other directory
// reaches processes, threads, clocks and paths through these functions.
#pragma once

#include <cstdint>
#include <string>

namespace vexa::platform {

// Full path of the running executable ("" when it cannot be read).
std::string executablePath();

// Directory of the running executable, ending in '/' ("" when unknown).
std::string executableDirectory();

// Current working directory, ending in '/' ("" when unknown).
std::string workingDirectory();

// Value of an environment variable, or nullptr when it is not set.
const char* environment(const char* name);

// The operating system's numeric id of the calling thread.
uint64_t currentThreadId();

// Monotonic clock in nanoseconds.
int64_t monotonicNanoseconds();

// Wall clock: seconds since 1970-01-01 UTC.
int64_t unixTimeSeconds();

// The directory separator and the rule for absolute paths: a path is
// absolute when it starts with '/' or has at most two characters.
constexpr char kDirectorySeparator = '/';
bool isAbsolutePath(const std::string& path);

// Sleep the calling thread.
void sleepMilliseconds(int milliseconds);

// Keeps an open descriptor from programs the process starts later (a
// PKCS#11 application that forks and runs another program must not hand it
// our connection). False when the flag could not be set.
bool closeOnExec(int descriptor);

}  // namespace vexa::platform
