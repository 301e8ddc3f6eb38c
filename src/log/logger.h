// The module's log: levelled lines to the console, to a log file, to both or
// to neither. A line reads "<elapsed seconds, 2 decimals> t:<thread id>
// <level name> : <text>", e.g. "3.07 t:5120 INFO : Config file not found.".
#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <iosfwd>
#include <mutex>
#include <string>

#include "log/log_target.h"
#include "platform/printf_format.h"

namespace talvoranth {

class CLogger : public ILogTarget {
public:
    // Longest text a formatted line may carry; longer, empty or unformattable
    // texts are replaced by kPrintbufTooSmall at ERROR.
    static constexpr int kMaxText = 2047;
    static constexpr const char* kPrintbufTooSmall = "log printbuf too small.";

    // Starts with threshold ERROR, console off and no log file. Console lines
    // go to *console (standard output unless a test supplies another stream);
    // the elapsed time of every line counts from this construction.
    explicit CLogger(std::ostream* console = nullptr);
    ~CLogger() override;
    CLogger(const CLogger&) = delete;
    CLogger& operator=(const CLogger&) = delete;

    VEXA_PRINTF_FORMAT(3, 4) void log(int level, const char* format, ...) override;
    void log(int level, const std::string& text) override;

    // Lines whose level is below the threshold are dropped; LOG_OFF drops all.
    void setThreshold(int threshold) { threshold_.store(threshold, std::memory_order_relaxed); }
    int threshold() const { return threshold_.load(std::memory_order_relaxed); }

    void setConsole(bool on);
    bool console() const;

    // Closes the open log file, if any, and opens `path` for appending
    // (created when missing). When it cannot be opened, file logging stays
    // off and nothing is reported; console logging is unaffected.
    void openLogFile(const std::string& path);
    bool logFileOpen() const;
    std::string logFilePath() const;

    // "TRACE", "DEBUG", "INFO", "WARN", "ERROR"; "" for any other level.
    static const char* levelName(int level);

private:
    // One lock makes every line whole on both streams, and in the same order
    // on both, even when several application threads log at once.
    mutable std::mutex mutex_;
    std::atomic<int> threshold_{LOG_ERROR};
    std::ostream* consoleStream_;
    bool consoleOn_ = false;
    std::ofstream file_;
    std::string filePath_;
    const int64_t startNanoseconds_;
};

}  // namespace talvoranth
