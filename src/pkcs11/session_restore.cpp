#include "pkcs11/session_restore.h"

#include <string>

#include "log/user_notice.h"
#include "rpc/byte_fields.h"
#include "rpc/function_ids.h"
#include "rpc/transport_exchanger.h"
#include "rpc/ulong_wire.h"

namespace vexa::pkcs11 {
namespace {

using talvoranth::LOG_INFO;
using talvoranth::LOG_WARN;

// The envelope's answer when no reply came (or it did not decode). The
// restore is then tried again over a new connection rather than taken as
// the device's refusal.
bool noAnswer(CK_RV rv) {
    return rv == CKR_FUNCTION_FAILED;
}

std::string hex(CK_RV rv) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(rv));
    return text;
}

}  // namespace

void CSessionRestorer::restore(int32_t slot, talvoranth::CTransport& transport) {
    const auto routes = sessions_.routesOf(slot);
    if (routes.empty()) {
        return;
    }
    rpc::CTransportExchanger exchanger(transport, log_);

    // 1. The sessions, with the flags they had.
    uint32_t firstSession = CK_INVALID_HANDLE;
    size_t reopened = 0;
    for (const auto& [handle, route] : routes) {
        Request request = Request_init_zero;
        request.function_id = static_cast<uint32_t>(rpc::FunctionId::OpenSession);
        request.has_value = rpc::ulongToWire(route.flags, request.value);
        Response response = Response_init_zero;
        const CK_RV rv = rpc::callFunction(log_, exchanger, slot, request, response, true);
        if (rv == CKR_OK && response.has_handle) {
            sessions_.repoint(handle, response.handle);
            if (firstSession == CK_INVALID_HANDLE) {
                firstSession = response.handle;
            }
            ++reopened;
            continue;
        }
        if (noAnswer(rv)) {
            // The new connection failed too: the next exchange opens another
            // and starts over with the routes as they are.
            transport.close();
            return;
        }
        log_.log(LOG_WARN, "session %lu could not be opened again after a new connection: %s",
                 static_cast<unsigned long>(handle), hex(rv).c_str());
        sessions_.remove(handle);
    }
    log_.log(LOG_INFO, "slot %d: %zu of %zu sessions opened again after a new connection", slot,
             reopened, routes.size());
    if (firstSession == CK_INVALID_HANDLE) {
        logins_.forget(slot);
        return;
    }

    // 2. The login, as the same user. Login is per token: one session is
    // enough for all of them.
    CK_RV loginRv = CKR_OK;
    const bool loggedIn =
        logins_.withLogin(slot, [&](CK_USER_TYPE userType, const uint8_t* pin, size_t length) {
            Request request = Request_init_zero;
            request.function_id = static_cast<uint32_t>(rpc::FunctionId::Login);
            request.has_session = true;
            request.session = firstSession;
            request.has_value = rpc::ulongToWire(userType, request.value);
            rpc::ByteInput pinBytes{pin, length};
            rpc::bindInput(request.data, pinBytes);
            Response response = Response_init_zero;
            loginRv = rpc::callFunction(log_, exchanger, slot, request, response, true);
        });
    // Over a shared device (direct HID) the token may still be logged in.
    if (!loggedIn || loginRv == CKR_OK || loginRv == CKR_USER_ALREADY_LOGGED_IN) {
        return;
    }
    if (noAnswer(loginRv)) {
        transport.close();
        return;
    }
    logins_.forget(slot);
    talvoranth::noticeUser(&log_, "slot " + std::to_string(slot) +
                                      ": the login could not be restored after a new connection "
                                      "to the device (" +
                                      hex(loginRv) +
                                      "); the sessions go on without it, log in again");
}

}  // namespace vexa::pkcs11
