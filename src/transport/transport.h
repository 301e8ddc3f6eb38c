// The abstract device transport: send one whole request, then take up to n
// bytes of its response. Implementations: CHIDTransport (USB HID) and
// TCPTransport (TLS connection to a vexa-daemon).
//
// A transport is created closed, opened by open() and stays open until
// close() or until a failure closes it. It has no locks: one transport must
// not be driven from two threads at once. Every failure is thrown as
// IOException (code -1) carrying the transport's message.
#pragma once

#include <functional>
#include <string>

#include "transport/exceptions.h"

namespace talvoranth {

class CTransport {
public:
    virtual ~CTransport() = default;

    // Acquire the device or connection, closing any previous handle first.
    virtual void open() {}
    virtual bool isOpen() = 0;
    // Release the handle; harmless when not open.
    virtual void close() {}
    // Read time-out in milliseconds for later read() calls.
    virtual void setTimeout(int /*milliseconds*/) {}
    virtual int getTimeout() = 0;
    // Copies at most capacity bytes of the response into buffer; 0 when
    // nothing arrived.
    virtual int read(unsigned char* buffer, int capacity) = 0;
    // Sends one whole message; returns length on success.
    virtual int write(const unsigned char* data, int length) = 0;
    // write() of the text's bytes.
    void writeString(const std::string& text) {
        write(reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    }
    // "HID" or "TCP".
    virtual std::string name() = 0;
    // How many times open() has reached the device afresh: a new connection
    // to the daemon, the device opened anew after it failed or vanished.
    // When it changes, whatever the device kept for this process (sessions,
    // login) may be gone. 0 for a transport that never tells.
    virtual unsigned long connectionCount() const { return 0; }
    // While read() waits for the device's answer it asks `stillWanted` every
    // so often (CHIDTransport: every kAnswerWatchMs); once it says false the
    // wait ends as at the time-out, and the transport recovers the same way.
    // An empty function (the default): the whole time-out is waited.
    // Transports that do not wait for a device themselves ignore it.
    virtual void setAnswerWatch(std::function<bool()> /*stillWanted*/) {}
};

}  // namespace talvoranth
