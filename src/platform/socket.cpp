#include "platform/socket.h"

namespace vexa::platform {

bool sendAll(SocketHandle socket, const uint8_t* data, size_t length) {
    while (length > 0) {
        const long n = sendSome(socket, data, length, true);
        if (n <= 0) {
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace vexa::platform
