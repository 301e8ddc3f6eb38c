// Hands a device over clean: every session on it is closed with the
// catalogue's own C_CloseAllSessions request, which by PKCS#11's rules also
// ends the login. The module runs it when it opens a device that no other
// process holds; the daemon when it takes the device for a client and when
// the client leaves.
#pragma once

#include <p11-kit/pkcs11.h>

#include "log/log_target.h"
#include "transport/transport.h"

namespace vexa::rpc {

// Sends C_CloseAllSessions through `transport` (open) and returns the
// device's answer; CKR_FUNCTION_FAILED when no answer came or it did not
// decode. Failures are logged to `log` when it is not null.
CK_RV closeAllDeviceSessions(talvoranth::CTransport& transport, talvoranth::ILogTarget* log);

}  // namespace vexa::rpc
