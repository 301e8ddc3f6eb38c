#include "platform/platform.h"
#include "transport/hid_backend.h"
#include "transport/hidapi_backend.h"
#include "transport/virtual_hid_backend.h"
#include "device_link/virtual_wire.h"

namespace talvoranth {

std::shared_ptr<IHidBackend> selectHidBackend() {
    const char* socket = vexa::platform::environment(vexa::virtual_wire::kSocketEnvironment);
    if (socket != nullptr && *socket != '\0') {
        return makeVirtualHidBackend(socket);
    }
    return makeHidapiBackend();
}

}  // namespace talvoranth
