// Socket sends that never end the process. On Linux a write to a socket
// whose peer has gone raises SIGPIPE, which would kill the daemon or the
// application that loaded the module; these sends report an error instead.
#pragma once

#include <cstddef>

namespace vexa::platform {

enum class SendError {
    None,
    WouldBlock,       // non-blocking socket, nothing could be sent now
    Interrupted,      // a signal arrived before anything was sent
    ConnectionReset,  // the peer has closed or reset the connection
    Failed,           // any other failure
};

// Sends up to length bytes on the connected socket fd. Returns the number of
// bytes sent, or -1 with *error set.
long sendNoSignal(int fd, const unsigned char* data, size_t length, SendError* error);

}  // namespace vexa::platform
