// The firmware fixture with the attribute, object and crypto short-hands
// of the object and crypto tests.
#pragma once

#include <p11-kit/pkcs11.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/firmware_fixture.h"

namespace vexa::sim::test {

using Attrs = std::vector<DeviceAttribute>;

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

class DeviceTest : public ::testing::Test, public FirmwareFixture {
public:
    static constexpr const char* kSerial = "0123456789AB";

    explicit DeviceTest(const std::string& product = "Vexa") : FirmwareFixture(kSerial, product) {}

    // C_OpenSession, expected to succeed; its handle.
    uint32_t openSession(bool rw = true) {
        uint32_t rv = 0;
        const uint32_t handle = open(CKF_SERIAL_SESSION | (rw ? CKF_RW_SESSION : 0), &rv);
        EXPECT_EQ(rv, CKR_OK);
        return handle;
    }

    // A read/write session with the user logged in.
    uint32_t userSession() {
        const uint32_t s = openSession();
        EXPECT_EQ(login(s), CKR_OK);
        return s;
    }

    // ---- objects ----------------------------------------------------------

    uint32_t create(uint32_t session, Attrs tmpl, uint32_t* handle) {
        DeviceRequest r = req(F::CreateObject, session);
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
        DeviceRequest r = req(F::GetAttributeValue, session);
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
        DeviceRequest r = req(F::SetAttributeValue, session);
        r.object = object;
        r.templ = std::move(tmpl);
        return call(r).rv;
    }
    uint32_t destroy(uint32_t session, uint32_t object) {
        DeviceRequest r = req(F::DestroyObject, session);
        r.object = object;
        return call(r).rv;
    }
    uint32_t findInit(uint32_t session, Attrs tmpl) {
        DeviceRequest r = req(F::FindObjectsInit, session);
        r.templ = std::move(tmpl);
        return call(r).rv;
    }
    // C_FindObjects: the handles, or an empty list with rv in *rv.
    std::vector<uint32_t> findNext(uint32_t session, uint32_t max, uint32_t* rv = nullptr) {
        DeviceRequest r = req(F::FindObjects, session);
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
    uint32_t findFinal(uint32_t session) { return call(req(F::FindObjectsFinal, session)).rv; }
    std::vector<uint32_t> findAll(uint32_t session, Attrs tmpl) {
        EXPECT_EQ(findInit(session, std::move(tmpl)), CKR_OK);
        std::vector<uint32_t> out = findNext(session, 100);
        EXPECT_EQ(findFinal(session), CKR_OK);
        return out;
    }

    // ---- keys and crypto --------------------------------------------------

    uint32_t generateKey(uint32_t session, DeviceMechanism m, Attrs tmpl, uint32_t* handle) {
        DeviceRequest r = req(F::GenerateKey, session);
        r.mechanism = std::move(m);
        r.templ = std::move(tmpl);
        DeviceResponse resp = call(r);
        *handle = resp.handle.value_or(0);
        return resp.rv;
    }
    uint32_t generatePair(uint32_t session, DeviceMechanism m, Attrs pub, Attrs priv,
                          uint32_t* pubKey, uint32_t* privKey) {
        DeviceRequest r = req(F::GenerateKeyPair, session);
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

    uint32_t opInit(F function, uint32_t session, DeviceMechanism m, uint32_t key) {
        DeviceRequest r = req(function, session);
        r.mechanism = std::move(m);
        r.object = key;
        return call(r).rv;
    }
    // A data step (encrypt, decrypt, sign, digest ...); `capacity` 0 sends none.
    DeviceResponse step(F function, uint32_t session, const Bytes* data, uint32_t capacity = 0,
                        bool lengthOnly = false) {
        DeviceRequest r = req(function, session);
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
    Bytes mustStep(F function, uint32_t session, const Bytes& data) {
        DeviceResponse resp = step(function, session, &data, 4096);
        EXPECT_EQ(resp.rv, CKR_OK) << "function " << id(function);
        return resp.data.value_or(Bytes());
    }
    Bytes mustFinal(F function, uint32_t session) {
        DeviceResponse resp = step(function, session, nullptr, 4096);
        EXPECT_EQ(resp.rv, CKR_OK) << "function " << id(function);
        return resp.data.value_or(Bytes());
    }

    Bytes sign(uint32_t session, DeviceMechanism m, uint32_t key, const Bytes& data) {
        EXPECT_EQ(opInit(F::SignInit, session, std::move(m), key), CKR_OK);
        return mustStep(F::Sign, session, data);
    }
    uint32_t verify(uint32_t session, DeviceMechanism m, uint32_t key, const Bytes& data,
                    const Bytes& signature) {
        const uint32_t rv = opInit(F::VerifyInit, session, std::move(m), key);
        if (rv != CKR_OK) {
            return rv;
        }
        DeviceRequest r = req(F::Verify, session);
        r.data = data;
        r.data2 = signature;
        return call(r).rv;
    }
    Bytes encrypt(uint32_t session, DeviceMechanism m, uint32_t key, const Bytes& data) {
        EXPECT_EQ(opInit(F::EncryptInit, session, std::move(m), key), CKR_OK);
        return mustStep(F::Encrypt, session, data);
    }
    Bytes decrypt(uint32_t session, DeviceMechanism m, uint32_t key, const Bytes& data) {
        EXPECT_EQ(opInit(F::DecryptInit, session, std::move(m), key), CKR_OK);
        return mustStep(F::Decrypt, session, data);
    }
};

}  // namespace vexa::sim::test
