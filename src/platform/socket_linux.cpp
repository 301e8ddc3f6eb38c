#include "platform/socket.h"

#include <sys/socket.h>

#include <cerrno>

namespace vexa::platform {

long sendNoSignal(int fd, const unsigned char* data, size_t length, SendError* error) {
    ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
    if (sent >= 0) {
        *error = SendError::None;
        return static_cast<long>(sent);
    }
    switch (errno) {
        case EAGAIN:  // EWOULDBLOCK has the same value on Linux
            *error = SendError::WouldBlock;
            break;
        case EINTR:
            *error = SendError::Interrupted;
            break;
        case EPIPE:
        case ECONNRESET:
            *error = SendError::ConnectionReset;
            break;
        default:
            *error = SendError::Failed;
            break;
    }
    return -1;
}

}  // namespace vexa::platform
