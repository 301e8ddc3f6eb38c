// A firmware with a fresh token and short-hand calls for the tests.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

#include "sim/firmware/firmware.h"

namespace vexa::sim::test {

inline Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

class FirmwareFixture {
public:
    FirmwareFixture() : firmware(setup()) {}

    static TokenSetup setup() {
        TokenSetup s;
        s.serial = "A1B2C3D4E5F6";
        s.product = "Dorvik";
        return s;
    }

    DeviceResponse call(uint32_t id) {
        DeviceRequest r;
        r.functionId = id;
        return firmware.call(r);
    }

    DeviceResponse callSession(uint32_t id, uint32_t session) {
        DeviceRequest r;
        r.functionId = id;
        r.session = session;
        return firmware.call(r);
    }

    // C_OpenSession; 0 when refused (rv in *rv).
    uint32_t open(uint32_t flags, uint32_t* rv = nullptr) {
        DeviceRequest r;
        r.functionId = 11;
        r.value = flags;
        DeviceResponse response = firmware.call(r);
        if (rv) {
            *rv = response.rv;
        }
        return response.rv == CKR_OK ? response.handle.value_or(0) : 0;
    }
    uint32_t openRw() { return open(CKF_SERIAL_SESSION | CKF_RW_SESSION); }
    uint32_t openRo() { return open(CKF_SERIAL_SESSION); }

    uint32_t login(uint32_t session, uint32_t userType, const std::string& pin) {
        DeviceRequest r;
        r.functionId = 13;
        r.session = session;
        r.value = userType;
        r.data = bytesOf(pin);
        return firmware.call(r).rv;
    }

    uint32_t setPin(uint32_t session, const std::string& oldPin, const std::string& newPin) {
        DeviceRequest r;
        r.functionId = 20;
        r.session = session;
        r.data = bytesOf(oldPin);
        r.data2 = bytesOf(newPin);
        return firmware.call(r).rv;
    }

    uint32_t initPin(uint32_t session, const std::string& pin) {
        DeviceRequest r;
        r.functionId = 18;
        r.session = session;
        r.data = bytesOf(pin);
        return firmware.call(r).rv;
    }

    uint32_t initToken(const std::string& soPin, const std::string& label) {
        DeviceRequest r;
        r.functionId = 10;
        r.data = bytesOf(soPin);
        Bytes padded = bytesOf(label);
        padded.resize(32, ' ');
        r.data2 = padded;
        return firmware.call(r).rv;
    }

    // CKS_ state of a session, or the rv when C_GetSessionInfo fails.
    uint32_t state(uint32_t session) {
        DeviceResponse response = callSession(17, session);
        return response.rv == CKR_OK ? response.sessionInfo->state : 0x80000000u | response.rv;
    }

    ::TokenInfo tokenInfo() { return *call(34).tokenInfo; }

    Firmware firmware;
};

}  // namespace vexa::sim::test
