#include "daemon/console.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {
std::string vformat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) {
        return {};
    }
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), format, args);
    return std::string(buf.data(), static_cast<size_t>(n));
}
}  // namespace

// Each line goes out in one write: connections are served on threads of
// their own, and their lines must not interleave.
void InfoLine(const std::string& text) {
    const std::string line = text + "\r\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void ErrorLine(const std::string& text) {
    const std::string line = "ERROR: " + text + "\r\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void InfoLinef(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    InfoLine(text);
}

void ErrorLinef(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    ErrorLine(text);
}
