#include "log/logger.h"

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <iostream>

#include "platform/platform.h"

namespace talvoranth {

namespace {
// Writes one whole line. Write errors are ignored: a full disk or a closed
// console must not disturb the caller.
void writeLine(std::ostream& out, const char* prefix, int prefixLength, const std::string& text) {
    out.write(prefix, prefixLength);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.put('\n');
    out.flush();
}

bool isControl(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u == 0x7F;
}

// A logged text is one line: a line feed, carriage return or other control
// character in it (from a peer, a file name, an application's label) is
// written as \xHH, so that it can neither start a line of its own nor act on
// a terminal or a shell that reads the file.
std::string oneLine(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (isControl(c)) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(c));
            out += escape;
        } else {
            out.push_back(c);
        }
    }
    return out;
}
}  // namespace

CLogger::CLogger(std::ostream* console)
    : consoleStream_(console != nullptr ? console : &std::cout),
      startNanoseconds_(vexa::platform::monotonicNanoseconds()) {}

CLogger::~CLogger() = default;

const char* CLogger::levelName(int level) {
    switch (level) {
        case LOG_TRACE:
            return "TRACE";
        case LOG_DEBUG:
            return "DEBUG";
        case LOG_INFO:
            return "INFO";
        case LOG_WARN:
            return "WARN";
        case LOG_ERROR:
            return "ERROR";
        default:
            return "";
    }
}

void CLogger::log(int level, const char* format, ...) {
    // When neither this line nor the ERROR line that would replace a text
    // that cannot be written passes the threshold, nothing can come of it.
    if (level < threshold() && LOG_ERROR < threshold()) {
        return;
    }
    char buffer[kMaxText + 1];
    int length = -1;
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        length = std::vsnprintf(buffer, sizeof buffer, format, args);
        va_end(args);
    }
    if (length < 1 || length > kMaxText) {
        log(LOG_ERROR, std::string(kPrintbufTooSmall));
        return;
    }
    // The plain log checks the threshold too; checking here first spares
    // building the text of a line that would be dropped.
    if (level < threshold()) {
        return;
    }
    log(level, std::string(buffer, static_cast<size_t>(length)));
}

void CLogger::log(int level, const std::string& text) {
    if (level < threshold()) {
        return;
    }
    const double elapsed =
        static_cast<double>(vexa::platform::monotonicNanoseconds() - startNanoseconds_) / 1e9;
    // The prefix is formatted here rather than through stream manipulators so
    // that the console's formatting state, which belongs to the application,
    // is left as it was.
    char prefix[96];
    int prefixLength = std::snprintf(prefix, sizeof prefix, "%.2f t:%" PRIu64 " %s : ", elapsed,
                                     vexa::platform::currentThreadId(), levelName(level));
    if (prefixLength < 0) {
        return;
    }
    if (prefixLength >= static_cast<int>(sizeof prefix)) {
        prefixLength = static_cast<int>(sizeof prefix) - 1;
    }

    const bool clean = std::none_of(text.begin(), text.end(), isControl);
    const std::string escaped = clean ? std::string() : oneLine(text);
    const std::string& line = clean ? text : escaped;

    std::lock_guard<std::mutex> lock(mutex_);
    if (consoleOn_) {
        writeLine(*consoleStream_, prefix, prefixLength, line);
    }
    if (file_.is_open()) {
        writeLine(file_, prefix, prefixLength, line);
        file_.clear();  // a failed write must not silence the lines after it
    }
}

void CLogger::setConsole(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    consoleOn_ = on;
}

bool CLogger::console() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return consoleOn_;
}

void CLogger::openLogFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_.is_open()) {
        file_.close();
    }
    file_.clear();
    filePath_ = path;
    // Created readable by the user only: the log names tokens, objects and
    // labels. An existing file keeps its mode.
    const int fd = vexa::platform::openPrivateAppend(path);
    if (fd < 0) {
        return;
    }
    ::close(fd);
    file_.open(path, std::ios::out | std::ios::app);
}

bool CLogger::logFileOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return file_.is_open();
}

std::string CLogger::logFilePath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return filePath_;
}

}  // namespace talvoranth
