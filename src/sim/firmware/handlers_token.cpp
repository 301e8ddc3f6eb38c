// Token-wide functions: C_GetTokenInfo (34), C_InitToken (10) and the
// clock setting (46). All are routed by slot and need no session.
#include <p11-kit/pkcs11.h>

#include <cstring>
#include <string>

#include "sim/firmware/clock.h"
#include "sim/firmware/handlers.h"
#include "sim/crypto/device_random.h"
#include "vexa.pb.h"

namespace vexa::sim {

namespace {

constexpr uint32_t kTotalPublicMemory = 256 * 1024;
constexpr uint32_t kTotalPrivateMemory = 256 * 1024;
constexpr uint32_t kHardwareVersion[2] = {2, 0};
constexpr uint32_t kFirmwareVersion[2] = {1, 6};

// Copies text into a fixed-width, blank-padded byte field.
template <class Field>
void putPadded(Field& field, const std::string& text) {
    constexpr size_t width = sizeof field.bytes;
    std::memset(field.bytes, ' ', width);
    std::memcpy(field.bytes, text.data(), text.size() < width ? text.size() : width);
    field.size = width;
}

template <class Field>
void putBytes(Field& field, const Bytes& bytes) {
    constexpr size_t width = sizeof field.bytes;
    std::memset(field.bytes, ' ', width);
    std::memcpy(field.bytes, bytes.data(), bytes.size() < width ? bytes.size() : width);
    field.size = width;
}

uint32_t pinFlags(const PinRecord& pin, uint32_t countLow, uint32_t finalTry, uint32_t locked) {
    if (pin.locked()) {
        return locked;
    }
    uint32_t flags = pin.failures > 0 ? countLow : 0;
    if (pin.failures + 1 == kMaxPinFailures) {
        flags |= finalTry;
    }
    return flags;
}

uint32_t freeMemory(uint32_t total, uint32_t used) {
    return used >= total ? 0 : total - used;
}

uint32_t getTokenInfo(Call& call) {
    const Token& token = call.token;
    ::TokenInfo info = TokenInfo_init_zero;
    putBytes(info.label, token.label);
    putPadded(info.manufacturer_id, "Talvoranth");
    putPadded(info.model, token.product);
    putPadded(info.serial_number, token.serial);

    uint32_t flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_CLOCK_ON_TOKEN;
    flags |= token.initialised ? CKF_TOKEN_INITIALIZED : 0;
    flags |= token.userPin.set ? CKF_USER_PIN_INITIALIZED : 0;
    flags |= pinFlags(token.userPin, CKF_USER_PIN_COUNT_LOW, CKF_USER_PIN_FINAL_TRY,
                      CKF_USER_PIN_LOCKED);
    flags |= pinFlags(token.soPin, CKF_SO_PIN_COUNT_LOW, CKF_SO_PIN_FINAL_TRY, CKF_SO_PIN_LOCKED);
    info.flags = flags;

    info.max_session_count = kMaxSessions;
    info.session_count = static_cast<uint32_t>(token.sessions.size());
    info.max_rw_session_count = kMaxRwSessions;
    info.rw_session_count = token.rwSessionCount();
    info.max_pin_len = kMaxPinLength;
    info.min_pin_len = kMinPinLength;
    const uint32_t usedPublic = token.extension ? token.extension->usedPublicMemory() : 0;
    const uint32_t usedPrivate = token.extension ? token.extension->usedPrivateMemory() : 0;
    info.total_public_memory = kTotalPublicMemory;
    info.free_public_memory = freeMemory(kTotalPublicMemory, usedPublic);
    info.total_private_memory = kTotalPrivateMemory;
    info.free_private_memory = freeMemory(kTotalPrivateMemory, usedPrivate);
    info.hardware_version_major = kHardwareVersion[0];
    info.hardware_version_minor = kHardwareVersion[1];
    info.firmware_version_major = kFirmwareVersion[0];
    info.firmware_version_minor = kFirmwareVersion[1];
    putPadded(info.utc_time, call.clock.utcTime());
    call.response.tokenInfo = info;
    return CKR_OK;
}

// C_InitToken: `data` is the SO PIN, `data2` the 32-byte label. A token
// that is already initialised is re-initialised only with the right SO
// PIN; every object goes and the user PIN must be set again.
uint32_t initToken(Call& call) {
    Token& token = call.token;
    const DeviceRequest& request = call.request;
    if (!request.data || !request.data2) {
        return CKR_ARGUMENTS_BAD;
    }
    if (!token.sessions.empty()) {
        return CKR_SESSION_EXISTS;
    }
    if (token.initialised && token.soPin.set) {
        const uint32_t rv = checkPin(token.soPin, *request.data);
        if (rv != CKR_OK) {
            call.persistentChange = true;  // the failure count
            return rv;
        }
    } else {
        if (!pinLengthValid(request.data->size())) {
            return CKR_PIN_LEN_RANGE;
        }
        token.soPin = makePinRecord(request.data->data(), request.data->size(), call.random);
    }
    token.label = Bytes(32, ' ');
    const Bytes& label = *request.data2;
    std::memcpy(token.label.data(), label.data(), label.size() < 32 ? label.size() : 32);
    token.userPin = PinRecord{};
    token.soPin.failures = 0;
    token.initialised = true;
    if (token.extension) {
        token.extension->tokenInitialised(token);
    }
    call.persistentChange = true;
    return CKR_OK;
}

// Function id 46: `object` holds the host's time, seconds since 1970.
uint32_t setClock(Call& call) {
    if (!call.request.object) {
        return CKR_ARGUMENTS_BAD;
    }
    call.clock.set(*call.request.object);
    return CKR_OK;
}

using F = rpc::FunctionId;

const HandlerEntry kEntries[] = {
    {F::InitToken, &initToken},
    {F::GetTokenInfo, &getTokenInfo},
    {F::SetDeviceClock, &setClock},
};

}  // namespace

void registerTokenHandlers(Registry& registry) {
    registry.add(kEntries);
}

}  // namespace vexa::sim
