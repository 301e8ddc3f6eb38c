// A log target for the fuzz targets: formats every line as a real log would
// (so that a bad format or argument shows up under the sanitizers) and then
// drops it.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#include "log/log_target.h"

namespace vexa::fuzz {

class DiscardLog : public talvoranth::ILogTarget {
public:
    void log(int /*level*/, const char* format, ...) override {
        char line[512];
        va_list args;
        va_start(args, format);
        std::vsnprintf(line, sizeof line, format, args);
        va_end(args);
    }
    void log(int /*level*/, const std::string& /*text*/) override {}
};

}  // namespace vexa::fuzz
