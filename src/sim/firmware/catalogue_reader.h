// The device reads a request the way the message catalogue defines it for
// its function id: every field the catalogue does not give that id is
// dropped before a handler sees the request, and a Mechanism keeps only the
// fields of the forms that id takes. A firmware written to the catalogue
// never looks at those fields, so the virtual device must not either.
#pragma once

#include "sim/types/device_types.h"

namespace vexa::sim {

// `request` reduced to what the catalogue gives its function id. An id the
// catalogue does not know is left as it is (no handler serves it anyway).
void readAsCatalogue(DeviceRequest& request);

}  // namespace vexa::sim
