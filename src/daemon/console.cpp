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

// Each line goes out in one write: connections are served on threads of
// their own, and their lines must not interleave.
void writeLine(std::FILE* stream, const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}
}  // namespace

void InfoLine(const std::string& text) {
    writeLine(stdout, text + "\r\n");
}

void ErrorLine(const std::string& text) {
    writeLine(stderr, "ERROR: " + text + "\r\n");
}

void InfoLinef(const char* format, ...) {
    va_list args;
    va_start(args, format);
    InfoLine(vformat(format, args));
    va_end(args);
}

void ErrorLinef(const char* format, ...) {
    va_list args;
    va_start(args, format);
    ErrorLine(vformat(format, args));
    va_end(args);
}
