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

void InfoLine(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputs("\r\n", stdout);
    std::fflush(stdout);
}

void ErrorLine(const std::string& text) {
    std::fputs("ERROR: ", stderr);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputs("\r\n", stderr);
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
