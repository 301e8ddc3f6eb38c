#include "transport/exceptions.h"

namespace talvoranth {

namespace {
constexpr const char* kNullText = "null";

std::string narrow(const char16_t* wide) {
    std::string out;
    for (const char16_t* p = wide; *p != u'\0'; ++p) {
        out.push_back(static_cast<char>(static_cast<unsigned char>(*p & 0xFF)));
    }
    return out;
}
}  // namespace

Throwable::Throwable(const char* message, int code)
    : message_(message != nullptr ? message : kNullText), code_(code) {}

Throwable::Throwable(const char16_t* message, int code)
    : message_(message != nullptr ? narrow(message) : kNullText), code_(code) {}

}  // namespace talvoranth
