#include "rpc/transport_exchanger.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <string>

namespace vexa::rpc {

size_t CTransportExchanger::exchange(int32_t /*slot*/, uint8_t* buffer, size_t capacity,
                                     size_t length) {
    try {
        transport_.write(buffer, static_cast<int>(length));
        const int received = transport_.read(
            buffer, static_cast<int>(std::min<size_t>(capacity, std::numeric_limits<int>::max())));
        return received > 0 ? std::min(static_cast<size_t>(received), capacity) : 0;
    } catch (const std::exception& e) {
        log_.log(talvoranth::LOG_ERROR, std::string(e.what()));
        return 0;
    }
}

}  // namespace vexa::rpc
