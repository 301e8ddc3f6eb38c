// A log target that keeps every line for the test to inspect.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "log/log_target.h"
#include "platform/printf_format.h"

namespace vexa::test {

class CLogCapture : public talvoranth::ILogTarget {
public:
    void log(int level, const char* format, ...) override VEXA_PRINTF_FORMAT(3, 4) {
        char buffer[2048];
        va_list args;
        va_start(args, format);
        std::vsnprintf(buffer, sizeof buffer, format, args);
        va_end(args);
        log(level, std::string(buffer));
    }
    void log(int level, const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(level, text);
    }

    std::vector<std::pair<int, std::string>> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    bool has(int level, const std::string& text) const {
        for (const auto& line : lines()) {
            if (line.first == level && line.second == text) {
                return true;
            }
        }
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<int, std::string>> lines_;
};

}  // namespace vexa::test
