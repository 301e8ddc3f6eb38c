// A virtual device firmware with a fresh token, and short-hand calls for
// the object and crypto tests. Requests go through Firmware::call, the same
// path the socket server uses after decoding.
#pragma once

#include <p11-kit/pkcs11.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/firmware/firmware.h"

namespace vexa::sim::test {

using Attrs = std::vector<DeviceAttribute>;

inline Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
inline DeviceAttribute U(uint32_t type, uint32_t v) {
    return DeviceAttribute::ofUlong(type, v);
}
inline DeviceAttribute B(uint32_t type, bool v) {
    return DeviceAttribute::ofBool(type, v);
}
inline DeviceAttribute Y(uint32_t type, Bytes v) {
    return DeviceAttribute::ofBytes(type, std::move(v));
}
inline DeviceAttribute Y(uint32_t type, const std::string& v) {
    return Y(type, bytesOf(v));
}
inline DeviceAttribute T(uint32_t type) {
    DeviceAttribute a;
    a.type = type;
    return a;
}

inline DeviceMechanism mech(uint32_t type, Bytes parameter = {}) {
    DeviceMechanism m;
    m.type = type;
    m.parameterLength = static_cast<uint32_t>(parameter.size());
    m.parameter = std::move(parameter);
    return m;
}

// DER of the curve OIDs.
inline const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
inline const Bytes kP384 = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22};
inline const Bytes kP521 = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23};

inline const char* kUserPin = "123456";

class DeviceTest : public ::testing::Test {
public:
    explicit DeviceTest(const std::string& product = "Vexa") : firmware(setup(product)) {}

    static TokenSetup setup(const std::string& product) {
        TokenSetup s;
        s.serial = "0123456789AB";
        s.product = product;
        return s;
    }

    DeviceResponse call(DeviceRequest r) { return firmware.call(r); }

    DeviceRequest req(uint32_t id, uint32_t session) {
        DeviceRequest r;
        r.functionId = id;
        r.session = session;
        return r;
    }

    uint32_t open(bool rw = true) {
        DeviceRequest r;
        r.functionId = 11;
        r.value = CKF_SERIAL_SESSION | (rw ? CKF_RW_SESSION : 0);
        DeviceResponse resp = call(r);
        EXPECT_EQ(resp.rv, CKR_OK);
        return resp.handle.value_or(0);
    }
    uint32_t login(uint32_t session, uint32_t userType = CKU_USER,
                   const std::string& pin = kUserPin) {
        DeviceRequest r = req(13, session);
        r.value = userType;
        r.data = bytesOf(pin);
        return call(r).rv;
    }
    uint32_t logout(uint32_t session) { return call(req(19, session)).rv; }
    uint32_t closeSession(uint32_t session) { return call(req(12, session)).rv; }

    // A read/write session with the user logged in.
    uint32_t userSession() {
        const uint32_t s = open();
        EXPECT_EQ(login(s), CKR_OK);
        return s;
    }

    // ---- objects ----------------------------------------------------------

    uint32_t create(uint32_t session, Attrs tmpl, uint32_t* handle) {
        DeviceRequest r = req(35, session);
        r.templ = std::move(tmpl);
        DeviceResponse resp = call(r);
        *handle = resp.handle.value_or(0);
        return resp.rv;
    }
    uint32_t mustCreate(uint32_t session, Attrs tmpl) {
        uint32_t h = 0;
        EXPECT_EQ(create(session, std::move(tmpl), &h), CKR_OK);
        return h;
    }
    DeviceResponse getAttributes(uint32_t session, uint32_t object, std::vector<uint32_t> types) {
        DeviceRequest r = req(16, session);
        r.object = object;
        for (uint32_t t : types) {
            r.templ.push_back(T(t));
        }
        return call(r);
    }
    // The value of one byte-form attribute (empty when unavailable).
    Bytes value(uint32_t session, uint32_t object, uint32_t type) {
        DeviceResponse resp = getAttributes(session, object, {type});
        EXPECT_EQ(resp.rv, CKR_OK);
        return resp.attributes.empty() ? Bytes() : resp.attributes[0].bytes;
    }
    uint32_t setAttributes(uint32_t session, uint32_t object, Attrs tmpl) {
        DeviceRequest r = req(36, session);
        r.object = object;
        r.templ = std::move(tmpl);
        return call(r).rv;
    }
    uint32_t destroy(uint32_t session, uint32_t object) {
        DeviceRequest r = req(39, session);
        r.object = object;
        return call(r).rv;
    }
    uint32_t findInit(uint32_t session, Attrs tmpl) {
        DeviceRequest r = req(33, session);
        r.templ = std::move(tmpl);
        return call(r).rv;
    }
    // C_FindObjects: the handles, or an empty list with rv in *rv.
    std::vector<uint32_t> findNext(uint32_t session, uint32_t max, uint32_t* rv = nullptr) {
        DeviceRequest r = req(37, session);
        r.outCapacity = max;
        DeviceResponse resp = call(r);
        if (rv != nullptr) {
            *rv = resp.rv;
        }
        std::vector<uint32_t> out;
        const Bytes data = resp.data.value_or(Bytes());
        for (size_t i = 0; i + 4 <= data.size(); i += 4) {
            out.push_back(data[i] | data[i + 1] << 8 | data[i + 2] << 16 |
                          static_cast<uint32_t>(data[i + 3]) << 24);
        }
        return out;
    }
    uint32_t findFinal(uint32_t session) { return call(req(38, session)).rv; }
    std::vector<uint32_t> findAll(uint32_t session, Attrs tmpl) {
        EXPECT_EQ(findInit(session, std::move(tmpl)), CKR_OK);
        std::vector<uint32_t> out = findNext(session, 100);
        EXPECT_EQ(findFinal(session), CKR_OK);
        return out;
    }

    // ---- keys and crypto --------------------------------------------------

    uint32_t generateKey(uint32_t session, DeviceMechanism m, Attrs tmpl, uint32_t* handle) {
        DeviceRequest r = req(1, session);
        r.mechanism = std::move(m);
        r.templ = std::move(tmpl);
        DeviceResponse resp = call(r);
        *handle = resp.handle.value_or(0);
        return resp.rv;
    }
    uint32_t generatePair(uint32_t session, DeviceMechanism m, Attrs pub, Attrs priv,
                          uint32_t* pubKey, uint32_t* privKey) {
        DeviceRequest r = req(15, session);
        r.mechanism = std::move(m);
        r.templ = std::move(pub);
        r.templ2 = std::move(priv);
        DeviceResponse resp = call(r);
        *pubKey = resp.handle.value_or(0);
        *privKey = resp.handle2.value_or(0);
        return resp.rv;
    }
    // A secret key of `mechanism` with the usages the tests need; value
    // readable when `extractable`.
    uint32_t secretKey(uint32_t session, uint32_t mechanism, uint32_t length,
                       bool extractable = false) {
        Attrs t = {B(CKA_SENSITIVE, !extractable), B(CKA_EXTRACTABLE, extractable)};
        if (length != 0) {
            t.push_back(U(CKA_VALUE_LEN, length));
        }
        uint32_t h = 0;
        EXPECT_EQ(generateKey(session, mech(mechanism), t, &h), CKR_OK);
        return h;
    }
    void rsaPair(uint32_t session, uint32_t bits, uint32_t* pub, uint32_t* priv) {
        ASSERT_EQ(generatePair(session, mech(CKM_RSA_PKCS_KEY_PAIR_GEN),
                               {U(CKA_MODULUS_BITS, bits)}, {}, pub, priv),
                  CKR_OK);
    }
    void ecPair(uint32_t session, const Bytes& curve, uint32_t* pub, uint32_t* priv,
                Attrs privExtra = {}) {
        ASSERT_EQ(generatePair(session, mech(CKM_EC_KEY_PAIR_GEN), {Y(CKA_EC_PARAMS, curve)},
                               privExtra, pub, priv),
                  CKR_OK);
    }

    uint32_t opInit(uint32_t id, uint32_t session, DeviceMechanism m, uint32_t key) {
        DeviceRequest r = req(id, session);
        r.mechanism = std::move(m);
        r.object = key;
        return call(r).rv;
    }
    // A data step (encrypt, decrypt, sign, digest ...); `capacity` 0 sends none.
    DeviceResponse step(uint32_t id, uint32_t session, const Bytes* data, uint32_t capacity = 0,
                        bool lengthOnly = false) {
        DeviceRequest r = req(id, session);
        if (data != nullptr) {
            r.data = *data;
        }
        if (capacity != 0) {
            r.outCapacity = capacity;
        }
        if (lengthOnly) {
            r.lengthOnly = true;
        }
        return call(r);
    }
    Bytes mustStep(uint32_t id, uint32_t session, const Bytes& data) {
        DeviceResponse resp = step(id, session, &data, 4096);
        EXPECT_EQ(resp.rv, CKR_OK) << "function " << id;
        return resp.data.value_or(Bytes());
    }
    Bytes mustFinal(uint32_t id, uint32_t session) {
        DeviceResponse resp = step(id, session, nullptr, 4096);
        EXPECT_EQ(resp.rv, CKR_OK) << "function " << id;
        return resp.data.value_or(Bytes());
    }

    Bytes sign(uint32_t session, DeviceMechanism m, uint32_t key, const Bytes& data) {
        EXPECT_EQ(opInit(21, session, std::move(m), key), CKR_OK);
        return mustStep(22, session, data);
    }
    uint32_t verify(uint32_t session, DeviceMechanism m, uint32_t key, const Bytes& data,
                    const Bytes& signature) {
        const uint32_t rv = opInit(23, session, std::move(m), key);
        if (rv != CKR_OK) {
            return rv;
        }
        DeviceRequest r = req(24, session);
        r.data = data;
        r.data2 = signature;
        return call(r).rv;
    }
    Bytes encrypt(uint32_t session, DeviceMechanism m, uint32_t key, const Bytes& data) {
        EXPECT_EQ(opInit(2, session, std::move(m), key), CKR_OK);
        return mustStep(3, session, data);
    }
    Bytes decrypt(uint32_t session, DeviceMechanism m, uint32_t key, const Bytes& data) {
        EXPECT_EQ(opInit(4, session, std::move(m), key), CKR_OK);
        return mustStep(5, session, data);
    }

    Firmware firmware;
};

}  // namespace vexa::sim::test
