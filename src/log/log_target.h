// The module's logging interface. Every object that logs holds a
// non-owning pointer to an ILogTarget; a null pointer silences it.
#pragma once

#include <string>

#include "platform/printf_format.h"

namespace talvoranth {

enum LogLevel : int {
    LOG_TRACE = 10,
    LOG_DEBUG = 20,
    LOG_INFO = 30,
    LOG_WARN = 40,
    LOG_ERROR = 50,
};

// A threshold at this value switches logging off.
constexpr int LOG_OFF = 1050;

class ILogTarget {
public:
    virtual ~ILogTarget() = default;
    // printf-style entry point used by every caller.
    virtual void log(int level, const char* format, ...) VEXA_PRINTF_FORMAT(3, 4) = 0;
    // Writes one finished line.
    virtual void log(int level, const std::string& text) = 0;
};

}  // namespace talvoranth
