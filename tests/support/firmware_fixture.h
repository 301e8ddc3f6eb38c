// A virtual device firmware with a fresh token, and short-hand calls that
// name each function by its row of the call table. Requests go through
// Firmware::call, the path the simulator's socket server takes after
// decoding. The tests of the firmware, its objects and its crypto share it.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

#include "sim/firmware/firmware.h"
#include "support/function_id.h"

namespace vexa::sim::test {

using F = rpc::FunctionId;
using ::vexa::test::id;

// The user PIN of a fresh token.
inline constexpr const char* kUserPin = "123456";

inline Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

class FirmwareFixture {
public:
    explicit FirmwareFixture(const std::string& serial = "A1B2C3D4E5F6",
                             const std::string& product = "Dorvik")
        : firmware(setup(serial, product)) {}

    static TokenSetup setup(const std::string& serial = "A1B2C3D4E5F6",
                            const std::string& product = "Dorvik") {
        TokenSetup s;
        s.serial = serial;
        s.product = product;
        return s;
    }

    // A request of this function for a session.
    static DeviceRequest req(F function, uint32_t session) {
        DeviceRequest r;
        r.functionId = id(function);
        r.session = session;
        return r;
    }

    DeviceResponse call(const DeviceRequest& r) { return firmware.call(r); }
    // A request that carries nothing but its function id.
    DeviceResponse call(F function) {
        DeviceRequest r;
        r.functionId = id(function);
        return firmware.call(r);
    }
    DeviceResponse callSession(F function, uint32_t session) {
        return firmware.call(req(function, session));
    }

    // C_OpenSession; 0 when refused (rv in *rv).
    uint32_t open(uint32_t flags, uint32_t* rv = nullptr) {
        DeviceRequest r;
        r.functionId = id(F::OpenSession);
        r.value = flags;
        DeviceResponse response = firmware.call(r);
        if (rv) {
            *rv = response.rv;
        }
        return response.rv == CKR_OK ? response.handle.value_or(0) : 0;
    }
    uint32_t openRw() { return open(CKF_SERIAL_SESSION | CKF_RW_SESSION); }
    uint32_t openRo() { return open(CKF_SERIAL_SESSION); }

    uint32_t login(uint32_t session, uint32_t userType = CKU_USER,
                   const std::string& pin = kUserPin) {
        DeviceRequest r = req(F::Login, session);
        r.value = userType;
        r.data = bytesOf(pin);
        return firmware.call(r).rv;
    }
    uint32_t logout(uint32_t session) { return callSession(F::Logout, session).rv; }
    uint32_t closeSession(uint32_t session) { return callSession(F::CloseSession, session).rv; }

    uint32_t setPin(uint32_t session, const std::string& oldPin, const std::string& newPin) {
        DeviceRequest r = req(F::SetPIN, session);
        r.data = bytesOf(oldPin);
        r.data2 = bytesOf(newPin);
        return firmware.call(r).rv;
    }

    uint32_t initPin(uint32_t session, const std::string& pin) {
        DeviceRequest r = req(F::InitPIN, session);
        r.data = bytesOf(pin);
        return firmware.call(r).rv;
    }

    uint32_t initToken(const std::string& soPin, const std::string& label) {
        DeviceRequest r;
        r.functionId = id(F::InitToken);
        r.data = bytesOf(soPin);
        Bytes padded = bytesOf(label);
        padded.resize(32, ' ');
        r.data2 = padded;
        return firmware.call(r).rv;
    }

    // CKS_ state of a session, or the rv when C_GetSessionInfo fails.
    uint32_t state(uint32_t session) {
        DeviceResponse response = callSession(F::GetSessionInfo, session);
        return response.rv == CKR_OK ? response.sessionInfo->state : 0x80000000u | response.rv;
    }

    ::TokenInfo tokenInfo() { return *call(F::GetTokenInfo).tokenInfo; }

    Firmware firmware;
};

}  // namespace vexa::sim::test
