// Every request the module sends, read field by field from its bytes (tag
// numbers, not the generated structures) and held to the call table of
// src/rpc/function_ids.h: only the fields its function id defines, the ones
// every such request carries, and a Mechanism in a form that id takes.
// Structured mechanism parameters must arrive in the device's 32-bit
// layout, whatever the host's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "rpc/catalogue.h"
#include "rpc/device_clear.h"
#include "sim/firmware/codec.h"
#include "sim/firmware/handlers.h"
#include "unit/pkcs11/module_fixture.h"

namespace vexa::test {
namespace {

using Bytes = std::vector<uint8_t>;

// ---- a protocol-buffers reader that knows nothing of the schema ----------

struct WireField {
    uint32_t tag;
    uint32_t wireType;
    Bytes bytes;  // a length-delimited field's content
};

bool readVarint(const Bytes& in, size_t& at, uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64 && at < in.size(); shift += 7) {
        const uint8_t b = in[at++];
        value |= uint64_t{b & 0x7Fu} << shift;
        if ((b & 0x80) == 0) {
            return true;
        }
    }
    return false;
}

// The top-level fields of a message; nullopt when the bytes are not one.
std::optional<std::vector<WireField>> readFields(const Bytes& in) {
    std::vector<WireField> out;
    size_t at = 0;
    while (at < in.size()) {
        uint64_t key = 0, value = 0;
        if (!readVarint(in, at, key)) {
            return std::nullopt;
        }
        WireField f{static_cast<uint32_t>(key >> 3), static_cast<uint32_t>(key & 7), {}};
        if (f.wireType == 0) {
            if (!readVarint(in, at, value)) {
                return std::nullopt;
            }
        } else if (f.wireType == 2) {
            if (!readVarint(in, at, value) || value > in.size() - at) {
                return std::nullopt;
            }
            f.bytes.assign(in.begin() + static_cast<long>(at),
                           in.begin() + static_cast<long>(at + value));
            at += value;
        } else {
            return std::nullopt;  // the schema has varints and strings only
        }
        out.push_back(std::move(f));
    }
    return out;
}

uint16_t tagBits(const std::vector<WireField>& fields) {
    uint16_t bits = 0;
    for (const WireField& f : fields) {
        bits |= static_cast<uint16_t>(f.tag < 16 ? 1u << f.tag : 1u << 15);
    }
    return bits;
}

// Every request a device saw, held to the catalogue. Returns the ids seen.
std::vector<uint32_t> checkAgainstCatalogue(const std::vector<SeenRequest>& seen) {
    std::vector<uint32_t> ids;
    for (const SeenRequest& request : seen) {
        const auto fields = readFields(request.encoded);
        EXPECT_TRUE(fields.has_value()) << "not a protocol-buffers message";
        if (!fields) {
            continue;
        }
        const uint32_t id = request.functionId();
        ids.push_back(id);
        const rpc::FunctionInfo* shape = rpc::findFunction(id);
        EXPECT_NE(shape, nullptr) << "function id " << id << " is never sent";
        if (shape == nullptr) {
            continue;
        }
        const uint16_t present = tagBits(*fields) & ~uint16_t{1u << 1};
        EXPECT_EQ(present & ~shape->allowed, 0)
            << "id " << id << " carries fields 0x" << std::hex << (present & ~shape->allowed);
        EXPECT_EQ(shape->always & ~present, 0)
            << "id " << id << " lacks fields 0x" << std::hex << (shape->always & ~present);
        for (const WireField& f : *fields) {
            if (f.tag != 3) {
                continue;
            }
            const auto mechanism = readFields(f.bytes);
            const std::optional<sim::DeviceRequest> decoded =
                sim::decodeRequest(request.encoded.data(), request.encoded.size());
            EXPECT_TRUE(mechanism && decoded && decoded->mechanism) << "id " << id;
            if (!mechanism || !decoded || !decoded->mechanism) {
                continue;
            }
            const uint32_t type = decoded->mechanism->type;
            const uint16_t allowed = rpc::allowedMechanismFields(shape->mechanism, type);
            EXPECT_EQ(tagBits(*mechanism) & ~allowed, 0)
                << "id " << id << " mechanism 0x" << std::hex << type << " has fields 0x"
                << (tagBits(*mechanism) & ~allowed);
        }
    }
    return ids;
}

// ---- the module's calls ---------------------------------------------------

class CatalogueWire : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_EQ(initialize(), CKR_OK);
        session_ = openSession(0);
        devices_[0]->setResponder([](const SeenRequest& seen) { return answer(seen); });
        setUpIds_ = sentIds();
    }

    // 16 output bytes for every output call (the length alone for a size
    // query, CKR_BUFFER_TOO_SMALL below 16), a handle for calls that make
    // objects, a found handle.
    static Reply answer(const SeenRequest& seen) {
        Reply reply = outputAnswer(seen, Bytes(16, 0x42));
        switch (static_cast<FunctionId>(seen.functionId())) {
            case FunctionId::WrapKey:
                // A capacity left out reads as 0 on a device.
                if (!seen.request.has_out_capacity) {
                    reply.response.rv = CKR_BUFFER_TOO_SMALL;
                    reply.data.reset();
                }
                break;
            case FunctionId::GenerateKey:
            case FunctionId::CreateObject:
            case FunctionId::CopyObject:
            case FunctionId::UnwrapKey:
            case FunctionId::DeriveKey:
            case FunctionId::GenerateKeyPair:
                reply.response.has_handle = true;
                reply.response.handle = 7;
                reply.response.has_handle2 = true;
                reply.response.handle2 = 8;
                break;
            case FunctionId::FindObjects:
                reply.data = Bytes{7, 0, 0, 0};
                break;
            default:
                break;
        }
        return reply;
    }

    std::vector<uint32_t> sentIds() {
        std::vector<uint32_t> ids = checkAgainstCatalogue(devices_[0]->requests());
        devices_[0]->clearRequests();
        return ids;
    }

    CK_SESSION_HANDLE session_ = 0;
    std::vector<uint32_t> setUpIds_;  // initialising and opening the session
};

struct Call {
    std::string what;
    std::function<void(CK_SESSION_HANDLE)> run;
    std::vector<FunctionId> sends;
};

std::vector<uint32_t> ids(const std::vector<FunctionId>& functions) {
    std::vector<uint32_t> out;
    for (FunctionId f : functions) {
        out.push_back(id(f));
    }
    return out;
}

// The calls of a session, each with the requests it makes.
std::vector<Call> sessionCalls() {
    static CK_BYTE data[64] = {1, 2, 3};
    static CK_BYTE big[4100] = {};
    static CK_BYTE out[4200];
    static CK_ULONG length;
    static CK_BYTE iv[16] = {};
    static CK_BBOOL yes = CK_TRUE;
    static CK_ULONG keyClass = CKO_SECRET_KEY;
    static CK_ATTRIBUTE templ[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                                   {CKA_TOKEN, &yes, sizeof yes},
                                   {CKA_LABEL, data, 3}};
    static CK_MECHANISM aesCbc{CKM_AES_CBC, iv, sizeof iv};
    static CK_MECHANISM sha256{CKM_SHA256, nullptr, 0};
    static CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
    static CK_RSA_PKCS_OAEP_PARAMS oaepParams{CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, data,
                                              3};
    static CK_MECHANISM oaep{CKM_RSA_PKCS_OAEP, &oaepParams, sizeof oaepParams};
    static CK_BYTE point[65] = {4};
    static CK_ECDH1_DERIVE_PARAMS ecdhParams{CKD_NULL, 0, nullptr, sizeof point, point};
    static CK_MECHANISM ecdh{CKM_ECDH1_DERIVE, &ecdhParams, sizeof ecdhParams};
    static CK_MECHANISM aesGen{CKM_AES_KEY_GEN, nullptr, 0};
    static CK_MECHANISM rsaGen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    const auto reset = [] { length = sizeof out; };
    using F = FunctionId;

    return {
        {"C_EncryptInit generic", [](auto s) { C_EncryptInit(s, &aesCbc, 5); }, {F::EncryptInit}},
        {"C_DecryptInit OAEP", [](auto s) { C_DecryptInit(s, &oaep, 5); }, {F::DecryptInit}},
        {"C_DeriveKey ECDH",
         [](auto s) {
             CK_OBJECT_HANDLE k;
             C_DeriveKey(s, &ecdh, 5, templ, 1, &k);
         },
         {F::DeriveKey}},
        {"C_Encrypt", [&](auto s) { reset(), C_Encrypt(s, data, 16, out, &length); }, {F::Encrypt}},
        {"C_Encrypt size query",
         [](auto s) { C_Encrypt(s, data, 16, nullptr, &length); },
         {F::Encrypt}},
        {"C_Encrypt of 4100 bytes",
         [&](auto s) { reset(), C_Encrypt(s, big, sizeof big, out, &length); },
         {F::EncryptUpdate, F::EncryptUpdate, F::EncryptUpdate, F::EncryptFinal}},
        {"C_Decrypt", [&](auto s) { reset(), C_Decrypt(s, data, 16, out, &length); }, {F::Decrypt}},
        {"C_DecryptUpdate",
         [&](auto s) { reset(), C_DecryptUpdate(s, data, 16, out, &length); },
         {F::DecryptUpdate}},
        {"C_Decrypt without a length pointer",
         [](auto s) { C_Decrypt(s, data, 16, out, nullptr); },
         {F::DecryptFinal}},
        {"C_EncryptUpdate",
         [&](auto s) { reset(), C_EncryptUpdate(s, data, 16, out, &length); },
         {F::EncryptUpdate}},
        {"C_DecryptFinal size query",
         [](auto s) { C_DecryptFinal(s, nullptr, &length); },
         {F::DecryptFinal}},
        {"C_SignInit", [](auto s) { C_SignInit(s, &rsa, 5); }, {F::SignInit}},
        {"C_Sign", [&](auto s) { reset(), C_Sign(s, data, 16, out, &length); }, {F::Sign}},
        {"C_Sign of 4100 bytes",
         [&](auto s) { reset(), C_Sign(s, big, sizeof big, out, &length); },
         {F::SignUpdate, F::SignUpdate, F::SignUpdate, F::SignFinal}},
        {"C_SignFinal", [&](auto s) { reset(), C_SignFinal(s, out, &length); }, {F::SignFinal}},
        {"C_SignFinal into a small buffer",
         [](auto s) {
             CK_BYTE small[20];
             CK_ULONG n = sizeof small;
             C_SignFinal(s, small, &n);
         },
         {F::SignFinal}},
        {"C_SignUpdate without data", [](auto s) { C_SignUpdate(s, nullptr, 3); }, {F::SignFinal}},
        {"C_VerifyInit", [](auto s) { C_VerifyInit(s, &rsa, 5); }, {F::VerifyInit}},
        {"C_Verify", [](auto s) { C_Verify(s, data, 16, data, 16); }, {F::Verify}},
        {"C_VerifyUpdate", [](auto s) { C_VerifyUpdate(s, data, 16); }, {F::VerifyUpdate}},
        {"C_VerifyFinal", [](auto s) { C_VerifyFinal(s, data, 16); }, {F::VerifyFinal}},
        {"C_Verify without a signature",
         [](auto s) { C_Verify(s, data, 16, nullptr, 0); },
         {F::VerifyFinal}},
        {"C_DigestInit", [](auto s) { C_DigestInit(s, &sha256); }, {F::DigestInit}},
        {"C_Digest",
         [&](auto s) { reset(), C_Digest(s, data, 16, out, &length); },
         {F::DigestUpdate, F::DigestFinal}},
        {"C_Digest into a small buffer",
         [](auto s) {
             CK_BYTE small[20];
             CK_ULONG n = sizeof small;
             C_Digest(s, data, 16, small, &n);
         },
         {F::DigestFinal, F::DigestUpdate, F::DigestFinal}},
        {"C_Digest size query",
         [](auto s) { C_Digest(s, data, 16, nullptr, &length); },
         {F::DigestFinal}},
        {"C_DigestFinal without a length pointer",
         [](auto s) { C_DigestFinal(s, out, nullptr); },
         {F::DigestFinal}},
        {"C_DigestKey", [](auto s) { C_DigestKey(s, 5); }, {F::DigestKey}},
        {"C_GenerateKey",
         [](auto s) {
             CK_OBJECT_HANDLE k;
             C_GenerateKey(s, &aesGen, templ, 3, &k);
         },
         {F::GenerateKey}},
        {"C_GenerateKeyPair",
         [](auto s) {
             CK_OBJECT_HANDLE a, b;
             C_GenerateKeyPair(s, &rsaGen, templ, 2, templ, 2, &a, &b);
         },
         {F::GenerateKeyPair}},
        {"C_WrapKey size query",
         [](auto s) {
             CK_ULONG n = 0;
             C_WrapKey(s, &aesCbc, 5, 6, nullptr, &n);
         },
         {F::WrapKey}},
        {"C_WrapKey",
         [&](auto s) { reset(), C_WrapKey(s, &oaep, 5, 6, out, &length); },
         {F::WrapKey}},
        {"C_UnwrapKey",
         [](auto s) {
             CK_OBJECT_HANDLE k;
             C_UnwrapKey(s, &aesCbc, 5, data, 16, templ, 3, &k);
         },
         {F::UnwrapKey}},
        {"C_CreateObject",
         [](auto s) {
             CK_OBJECT_HANDLE k;
             C_CreateObject(s, templ, 3, &k);
         },
         {F::CreateObject}},
        {"C_CopyObject",
         [](auto s) {
             CK_OBJECT_HANDLE k;
             C_CopyObject(s, 5, templ, 1, &k);
         },
         {F::CopyObject}},
        {"C_GetAttributeValue",
         [](auto s) {
             CK_ATTRIBUTE query[] = {{CKA_LABEL, nullptr, 0}};
             C_GetAttributeValue(s, 5, query, 1);
         },
         {F::GetAttributeValue}},
        {"C_SetAttributeValue",
         [](auto s) { C_SetAttributeValue(s, 5, templ + 2, 1); },
         {F::SetAttributeValue}},
        {"C_FindObjects",
         [](auto s) {
             CK_OBJECT_HANDLE found[4];
             CK_ULONG n;
             C_FindObjectsInit(s, templ, 1);
             C_FindObjects(s, found, 4, &n);
             C_FindObjectsFinal(s);
         },
         {F::FindObjectsInit, F::FindObjects, F::FindObjectsFinal}},
        {"C_DestroyObject", [](auto s) { C_DestroyObject(s, 5); }, {F::DestroyObject}},
        {"C_GetObjectSize",
         [](auto s) {
             CK_ULONG n;
             C_GetObjectSize(s, 5, &n);
         },
         {F::GetObjectSize}},
        {"C_GenerateRandom",
         [](auto s) { C_GenerateRandom(s, out, 2000); },
         {F::GenerateRandom, F::GenerateRandom}},
        {"C_SeedRandom", [](auto s) { C_SeedRandom(s, data, 8); }, {F::SeedRandom}},
        {"C_Login and C_Logout",
         [](auto s) {
             C_Login(s, CKU_USER, data, 6);
             C_Logout(s);
         },
         {F::Login, F::Logout}},
        {"C_InitPIN and C_SetPIN",
         [](auto s) {
             C_InitPIN(s, data, 6);
             C_SetPIN(s, data, 6, data, 7);
         },
         {F::InitPIN, F::SetPIN}},
        {"C_GetSessionInfo",
         [](auto s) {
             CK_SESSION_INFO info;
             C_GetSessionInfo(s, &info);
         },
         {F::GetSessionInfo}},
    };
}

TEST_F(CatalogueWire, EveryRequestCarriesWhatItsFunctionIdDefines) {
    for (const Call& call : sessionCalls()) {
        SCOPED_TRACE(call.what);
        call.run(session_);
        EXPECT_EQ(sentIds(), ids(call.sends));
    }
}

// The functions routed by slot, on slot 0.
void runSlotCalls() {
    CK_TOKEN_INFO info;
    EXPECT_EQ(C_GetTokenInfo(0, &info), CKR_OK);
    CK_SESSION_HANDLE extra = 0;
    EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &extra), CKR_OK);
    EXPECT_EQ(C_CloseSession(extra), CKR_OK);
    CK_BYTE pin[] = "12345678";
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    C_InitToken(0, pin, 8, label);
}

TEST_F(CatalogueWire, SlotRequestsCarryWhatTheirIdsDefine) {
    runSlotCalls();
    const std::vector<uint32_t> sent = sentIds();
    for (FunctionId f : {FunctionId::GetTokenInfo, FunctionId::OpenSession,
                         FunctionId::CloseSession, FunctionId::InitToken}) {
        EXPECT_NE(std::find(sent.begin(), sent.end(), id(f)), sent.end()) << id(f);
    }
    // C_CloseAllSessions closes this application's sessions, one
    // C_CloseSession each: the device's own request would end every other
    // application's sessions on the token too.
    C_CloseAllSessions(0);
    EXPECT_EQ(sentIds(), ids({FunctionId::CloseSession}));
}

// ---- the call table: a module side and a device side for every row -------

// The names of the call table's rows that the host never sent (not in
// `moduleSends`) or that `device` has no handler for.
std::vector<std::string> rowsMissingASide(const std::set<uint32_t>& moduleSends,
                                          const sim::Registry& device) {
    std::vector<std::string> missing;
    for (const rpc::FunctionInfo& row : rpc::kCallTable) {
        const auto id = static_cast<uint32_t>(row.id);
        if (moduleSends.count(id) == 0) {
            missing.push_back(std::string(row.name) + ": no module side");
        }
        if (device.find(id) == nullptr) {
            missing.push_back(std::string(row.name) + ": no device side");
        }
    }
    return missing;
}

TEST_F(CatalogueWire, EveryRowOfTheCallTableHasAModuleSideAndADeviceSide) {
    std::set<uint32_t> moduleSends(setUpIds_.begin(), setUpIds_.end());
    for (const Call& call : sessionCalls()) {
        call.run(session_);
    }
    runSlotCalls();
    // The host's own hand-over of a clean device, sent when the module or
    // the daemon takes a device.
    CMemoryTransport transport(devices_[0]);
    transport.open();
    EXPECT_EQ(rpc::closeAllDeviceSessions(transport, nullptr), CKR_OK);
    for (uint32_t id : sentIds()) {
        moduleSends.insert(id);
    }
    const sim::Registry& device = sim::firmwareRegistry();
    EXPECT_EQ(rowsMissingASide(moduleSends, device), std::vector<std::string>{});

    // The check names a row that lacks either side.
    std::set<uint32_t> withoutSign = moduleSends;
    withoutSign.erase(id(FunctionId::Sign));
    EXPECT_EQ(rowsMissingASide(withoutSign, device),
              std::vector<std::string>{"C_Sign: no module side"});
    std::vector<sim::HandlerEntry> handlers;
    for (size_t i = 0; i < sim::kFirmwareHandlerCount; ++i) {
        const sim::HandlerEntry& entry = sim::kFirmwareHandlers[i];
        if (entry.functionId != FunctionId::GenerateRandom &&
            entry.functionId != FunctionId::SeedRandom) {
            handlers.push_back(entry);
        }
    }
    sim::Registry withoutRandom;
    withoutRandom.add(handlers.data(), handlers.size());
    EXPECT_EQ(rowsMissingASide(moduleSends, withoutRandom),
              (std::vector<std::string>{"C_GenerateRandom: no device side",
                                        "C_SeedRandom: no device side"}));
}

// The device takes no handler for an id that the table does not have.
TEST(CallTable, TheDeviceRefusesAHandlerForAnIdWithoutARow) {
    sim::Registry registry;
    const sim::HandlerEntry stray[] = {
        {static_cast<rpc::FunctionId>(30), [](sim::Call&) { return uint32_t{0}; }}};
    EXPECT_THROW(registry.add(stray), std::logic_error);
}

// ---- parameter blocks in the device's layout -------------------------------

Bytes le32(std::initializer_list<CK_ULONG> words) {
    Bytes out;
    for (CK_ULONG w : words) {
        for (int shift = 0; shift < 32; shift += 8) {
            out.push_back(static_cast<uint8_t>(w >> shift));
        }
    }
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(CatalogueWire, StructuredParametersTravelInTheDevicesLayout) {
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    CK_AES_CTR_PARAMS ctr{};
    ctr.ulCounterBits = 64;
    for (int i = 0; i < 16; ++i) {
        ctr.cb[i] = static_cast<CK_BYTE>(i);
    }
    CK_BYTE label[] = {'L', 'B'};
    CK_RSA_PKCS_OAEP_PARAMS oaep{CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, label, 2};
    CK_BYTE secret[16] = {9, 9};
    CK_KEY_DERIVATION_STRING_DATA text{secret, 16};
    CK_AES_CBC_ENCRYPT_DATA_PARAMS aesData{};
    std::memset(aesData.iv, 0x11, sizeof aesData.iv);
    aesData.pData = secret;
    aesData.length = 16;
    CK_DES_CBC_ENCRYPT_DATA_PARAMS desData{};
    std::memset(desData.iv, 0x22, sizeof desData.iv);
    desData.pData = secret;
    desData.length = 8;
    CK_BYTE iv[12] = {7};
    CK_GCM_PARAMS gcm{iv, sizeof iv, 96, label, 2, 128};
    const Bytes ctrBlock(ctr.cb, ctr.cb + 16);
    const Bytes secretBytes(secret, secret + 16);

    struct Case {
        const char* what;
        CK_MECHANISM mechanism;
        FunctionId via;
        Bytes expected;
    };
    const Case cases[] = {
        {"PSS",
         {CKM_SHA256_RSA_PKCS_PSS, &pss, sizeof pss},
         FunctionId::SignInit,
         le32({CKM_SHA256, CKG_MGF1_SHA256, 32})},
        {"raw PSS",
         {CKM_RSA_PKCS_PSS, &pss, sizeof pss},
         FunctionId::VerifyInit,
         le32({CKM_SHA256, CKG_MGF1_SHA256, 32})},
        {"CTR", {CKM_AES_CTR, &ctr, sizeof ctr}, FunctionId::EncryptInit, le32({64}) + ctrBlock},
        {"OAEP for wrapping",
         {CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep},
         FunctionId::WrapKey,
         le32({CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, 2}) + Bytes{'L', 'B'}},
        {"GCM",
         {CKM_AES_GCM, &gcm, sizeof gcm},
         FunctionId::EncryptInit,
         le32({12, 96, 2, 128}) + Bytes(iv, iv + 12) + Bytes{'L', 'B'}},
        {"ECB encrypt data",
         {CKM_AES_ECB_ENCRYPT_DATA, &text, sizeof text},
         FunctionId::DeriveKey,
         le32({16}) + secretBytes},
        {"AES CBC encrypt data",
         {CKM_AES_CBC_ENCRYPT_DATA, &aesData, sizeof aesData},
         FunctionId::DeriveKey,
         Bytes(16, 0x11) + le32({16}) + secretBytes},
        {"DES CBC encrypt data",
         {CKM_DES3_CBC_ENCRYPT_DATA, &desData, sizeof desData},
         FunctionId::DeriveKey,
         Bytes(8, 0x22) + le32({8}) + Bytes(secret, secret + 8)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CK_MECHANISM m = c.mechanism;
        CK_OBJECT_HANDLE handle = 0;
        CK_ULONG n = 64;
        CK_BYTE out[64];
        switch (c.via) {
            case FunctionId::SignInit:
                EXPECT_EQ(C_SignInit(session_, &m, 5), CKR_OK);
                break;
            case FunctionId::VerifyInit:
                EXPECT_EQ(C_VerifyInit(session_, &m, 5), CKR_OK);
                break;
            case FunctionId::EncryptInit:
                EXPECT_EQ(C_EncryptInit(session_, &m, 5), CKR_OK);
                break;
            case FunctionId::WrapKey:
                EXPECT_EQ(C_WrapKey(session_, &m, 5, 6, out, &n), CKR_OK);
                break;
            default:
                EXPECT_EQ(C_DeriveKey(session_, &m, 5, nullptr, 0, &handle), CKR_OK);
                break;
        }
        const std::vector<SeenRequest> seen = devices_[0]->requests();
        ASSERT_EQ(seen.size(), 1u);
        checkAgainstCatalogue(seen);
        const auto decoded = sim::decodeRequest(seen[0].encoded.data(), seen[0].encoded.size());
        ASSERT_TRUE(decoded && decoded->mechanism && decoded->mechanism->parameter);
        EXPECT_EQ(*decoded->mechanism->parameter, c.expected);
        EXPECT_EQ(decoded->mechanism->parameterLength.value_or(0), c.expected.size());
        devices_[0]->clearRequests();
    }
}

TEST_F(CatalogueWire, ParameterBlocksOfTheWrongSizeOrWithDanglingPointersAreRefused) {
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    CK_MECHANISM shortBlock{CKM_SHA256_RSA_PKCS_PSS, &pss, 12};
    EXPECT_EQ(C_SignInit(session_, &shortBlock, 5), CKR_MECHANISM_PARAM_INVALID);
    CK_KEY_DERIVATION_STRING_DATA dangling{nullptr, 16};
    CK_MECHANISM derive{CKM_AES_ECB_ENCRYPT_DATA, &dangling, sizeof dangling};
    CK_OBJECT_HANDLE handle = 0;
    EXPECT_EQ(C_DeriveKey(session_, &derive, 5, nullptr, 0, &handle), CKR_MECHANISM_PARAM_INVALID);
    CK_RSA_PKCS_PSS_PARAMS wide{CKM_SHA256, CKG_MGF1_SHA256, CK_ULONG{1} << 40};
    CK_MECHANISM tooWide{CKM_RSA_PKCS_PSS, &wide, sizeof wide};
    EXPECT_EQ(C_VerifyInit(session_, &tooWide, 5), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_TRUE(devices_[0]->requests().empty());
}

}  // namespace
}  // namespace vexa::test
