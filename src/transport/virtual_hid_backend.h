// The HID backend that talks to vexa-sim, the virtual Vexa device, over the
// Unix socket protocol of device_link/virtual_wire.h. Each open device is one
// connection; closing the device closes the connection.
#pragma once

#include <memory>
#include <string>

#include "transport/hid_backend.h"

namespace talvoranth {

// A backend for the vexa-sim listening at socketPath. Nothing is connected
// until the first enumeration or open.
std::shared_ptr<IHidBackend> makeVirtualHidBackend(const std::string& socketPath);

}  // namespace talvoranth
