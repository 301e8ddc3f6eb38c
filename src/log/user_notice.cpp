#include "log/user_notice.h"

#include <cstdio>
#include <mutex>

namespace talvoranth {

namespace {

// Control characters would let a text from a peer or a file start a line
// of its own on the user's terminal.
std::string printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c);
    }
    return out;
}

}  // namespace

void noticeUser(ILogTarget* log, const std::string& text) {
    if (log != nullptr) {
        log->log(LOG_ERROR, text);
    }
    static std::mutex mutex;
    static std::string lastText;
    std::lock_guard<std::mutex> lock(mutex);
    if (text == lastText) {
        return;
    }
    lastText = text;
    std::fprintf(stderr, "vexa-pkcs11: %s\n", printable(text).c_str());
    std::fflush(stderr);
}

}  // namespace talvoranth
