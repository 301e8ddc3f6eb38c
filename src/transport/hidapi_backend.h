// The HID backend over the hidapi library (hidraw). This is the only part of
// the program that includes the hidapi header.
#pragma once

#include <memory>

#include "transport/hid_backend.h"

namespace talvoranth {

// Initialises the hidapi library (hid_init) and returns the backend.
std::shared_ptr<IHidBackend> makeHidapiBackend();

}  // namespace talvoranth
