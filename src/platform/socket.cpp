#include "platform/socket.h"

#include "platform/write_whole.h"

namespace vexa::platform {

bool sendAll(SocketHandle socket, const uint8_t* data, size_t length) {
    return writeWhole(data, length, [socket](const uint8_t* part, size_t size) {
        return sendSome(socket, part, size, true);
    });
}

}  // namespace vexa::platform
