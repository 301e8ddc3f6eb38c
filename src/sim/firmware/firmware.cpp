#include "sim/firmware/firmware.h"

#include <p11-kit/pkcs11.h>

#include <new>

#include "sim/firmware/catalogue_reader.h"
#include "sim/firmware/codec.h"
#include "sim/firmware/handlers.h"

namespace vexa::sim {

namespace {

// Responses larger than this cannot travel in one U2FHID message
// (57 + 128 x 59 bytes); the plain framing is held to the same limit.
constexpr size_t kMaxResponse = 7609;

Bytes encodeOrFail(const DeviceResponse& response) {
    Bytes out;
    if (encodeResponse(response, out, kMaxResponse)) {
        return out;
    }
    // Too large to send: say so instead of sending nothing.
    DeviceResponse failure;
    failure.rv = CKR_DEVICE_MEMORY;
    encodeResponse(failure, out, kMaxResponse);
    return out;
}

}  // namespace

Firmware::Firmware(const TokenSetup& setup) : random_("vexa-sim " + setup.serial) {
    token_.serial = setup.serial;
    token_.product = setup.product;
    token_.label = Token::labelFrom(setup.label);
    const auto* so = reinterpret_cast<const uint8_t*>(setup.soPin.data());
    const auto* user = reinterpret_cast<const uint8_t*>(setup.userPin.data());
    token_.soPin = makePinRecord(so, setup.soPin.size(), random_);
    token_.userPin = makePinRecord(user, setup.userPin.size(), random_);
    token_.initialised = true;
    if (TokenExtensionFactory factory = firmwareRegistry().tokenExtensionFactory()) {
        token_.extension = factory();
    }
}

Bytes Firmware::process(const uint8_t* request, size_t length) {
    std::optional<DeviceRequest> decoded = decodeRequest(request, length);
    if (!decoded) {
        DeviceResponse failure;
        failure.rv = CKR_DEVICE_ERROR;
        return encodeOrFail(failure);
    }
    readAsCatalogue(*decoded);
    return encodeOrFail(dispatch(*decoded));
}

DeviceResponse Firmware::call(const DeviceRequest& request) {
    DeviceRequest read = request;
    readAsCatalogue(read);
    return dispatch(read);
}

DeviceResponse Firmware::dispatch(const DeviceRequest& request) {
    DeviceResponse response;
    const HandlerEntry* entry = firmwareRegistry().find(request.functionId);
    if (entry == nullptr) {
        response.rv = CKR_FUNCTION_NOT_SUPPORTED;
        return response;
    }
    Session* session = nullptr;
    if (entry->needs == Needs::Session) {
        session = request.session ? token_.findSession(*request.session) : nullptr;
        if (session == nullptr) {
            response.rv = CKR_SESSION_HANDLE_INVALID;
            return response;
        }
    }
    Call call{request, response, token_, session, random_, clock_};
    try {
        response.rv = entry->handler(call);
    } catch (const std::bad_alloc&) {
        response = DeviceResponse{};
        response.rv = CKR_DEVICE_MEMORY;
    } catch (...) {
        response = DeviceResponse{};
        response.rv = CKR_DEVICE_ERROR;
    }
    if (call.persistentChange && persist_) {
        persist_();
    }
    return response;
}

void Firmware::powerCycle() {
    token_.closeAllSessions();
}

}  // namespace vexa::sim
