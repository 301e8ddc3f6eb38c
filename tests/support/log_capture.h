// The one log target of the tests: it keeps every line, with its level, for
// the test to inspect. Lines may come from several threads.
#pragma once

#include <algorithm>
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

    using Line = std::pair<int, std::string>;

    std::vector<Line> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // The lines of one level, in order.
    std::vector<Line> linesAt(int level) const {
        std::vector<Line> at;
        for (const Line& line : lines()) {
            if (line.first == level) {
                at.push_back(line);
            }
        }
        return at;
    }
    bool has(int level, const std::string& text) const {
        const std::vector<Line> all = lines();
        return std::find(all.begin(), all.end(), Line(level, text)) != all.end();
    }
    // How many lines, of any level, read text.
    size_t count(const std::string& text) const {
        size_t n = 0;
        for (const Line& line : lines()) {
            n += line.second == text ? 1 : 0;
        }
        return n;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

}  // namespace vexa::test
