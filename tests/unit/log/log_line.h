// Splits a module log line "<seconds>.<2 digits> t:<thread id> <level> :
// <text>" into its parts, checking the shape of each.
#pragma once

#include <cctype>
#include <optional>
#include <string>

struct LogLine {
    std::string seconds;  // e.g. "3.07"
    std::string threadId;
    std::string level;  // "" for a level without a name
    std::string text;
};

inline bool allDigits(const std::string& s) {
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

inline std::optional<LogLine> parseLogLine(const std::string& line) {
    LogLine parsed;
    const size_t tid = line.find(" t:");
    if (tid == std::string::npos) {
        return std::nullopt;
    }
    parsed.seconds = line.substr(0, tid);
    const size_t dot = parsed.seconds.find('.');
    if (dot == std::string::npos || !allDigits(parsed.seconds.substr(0, dot)) ||
        parsed.seconds.size() - dot != 3 || !allDigits(parsed.seconds.substr(dot + 1))) {
        return std::nullopt;
    }
    const size_t blank = line.find(' ', tid + 3);
    if (blank == std::string::npos) {
        return std::nullopt;
    }
    parsed.threadId = line.substr(tid + 3, blank - tid - 3);
    const size_t colon = line.find(" : ", blank);
    if (!allDigits(parsed.threadId) || colon == std::string::npos) {
        return std::nullopt;
    }
    parsed.level = line.substr(blank + 1, colon - blank - 1);
    for (char c : parsed.level) {
        if (!std::isupper(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
    }
    parsed.text = line.substr(colon + 3);
    return parsed;
}
