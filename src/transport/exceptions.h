// Exceptions thrown by the transports. All are thrown by value and caught
// as std::exception by every caller; what() gives the message.
#pragma once

#include <exception>
#include <string>

namespace talvoranth {

class Throwable : public std::exception {
public:
    // A null text becomes the message "null".
    Throwable(const char* message, int code);
    // Wide (UTF-16) text is narrowed by keeping the low byte of each unit.
    Throwable(const char16_t* message, int code);
    Throwable(const std::string& message, int code) : message_(message), code_(code) {}

    const char* what() const noexcept override { return message_.c_str(); }
    virtual int code() const noexcept { return code_; }

private:
    std::string message_;
    int code_;
};

// The common base of the program's thrown exceptions.
class Exception : public Throwable {
public:
    using Throwable::Throwable;
};

// The only class the transports throw; it always carries code -1.
class IOException : public Exception {
public:
    static constexpr int kCode = -1;
    explicit IOException(const char* message) : Exception(message, kCode) {}
    explicit IOException(const char16_t* message) : Exception(message, kCode) {}
    explicit IOException(const std::string& message) : Exception(message, kCode) {}
};

}  // namespace talvoranth
