#include "p11bench/rows.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <memory>
#include <tuple>

#include "p11bench/module_loader.h"

namespace vexa::p11bench {
namespace {

// Labels of the fixtures: objects a user has put in the token under these
// labels are used as they are; otherwise the run makes session objects.
constexpr const char* kDataLabel = "vexa-p11bench-data";
constexpr const char* kEcLabel = "vexa-p11bench-ec";
constexpr const char* kRsaLabel = "vexa-p11bench-rsa";
constexpr const char* kAesLabel = "vexa-p11bench-aes";

// DER of the P-256 curve's object identifier.
CK_BYTE kP256[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};
CK_BYTE kExponent[] = {0x01, 0x00, 0x01};
CK_BBOOL kTrue = CK_TRUE;
CK_BBOOL kFalse = CK_FALSE;

CK_ATTRIBUTE text(CK_ATTRIBUTE_TYPE type, const char* value) {
    return {type, const_cast<char*>(value), std::strlen(value)};
}

template <class T>
CK_ATTRIBUTE value(CK_ATTRIBUTE_TYPE type, T& v) {
    return {type, &v, sizeof v};
}

std::string missingFrom(const char* what, CK_RV rv) {
    return std::string(what) + " " + rvName(rv);
}

// True when a row that options selects works on a key or object.
bool selectedRowsNeedFixtures(const Options& options);

}  // namespace

CK_RV CBenchSession::open(const Options& options, std::string* step) {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    CK_RV rv = f_->C_Initialize(&args);
    if (rv != CKR_OK) {
        *step = "C_Initialize";
        return rv;
    }
    initialised_ = true;

    slot_ = options.slot;
    if (!options.slotGiven) {
        CK_SLOT_ID slots[16];
        CK_ULONG count = 16;
        rv = f_->C_GetSlotList(CK_TRUE, slots, &count);
        if (rv == CKR_OK && count == 0) {
            rv = CKR_TOKEN_NOT_PRESENT;
        }
        if (rv != CKR_OK) {
            *step = "C_GetSlotList";
            return rv;
        }
        slot_ = slots[0];
    }
    CK_TOKEN_INFO info{};
    rv = f_->C_GetTokenInfo(slot_, &info);
    if (rv != CKR_OK) {
        *step = "C_GetTokenInfo";
        return rv;
    }
    tokenLabel_.assign(reinterpret_cast<const char*>(info.label), sizeof info.label);
    tokenLabel_.erase(tokenLabel_.find_last_not_of(' ') + 1);

    rv = f_->C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session_);
    if (rv != CKR_OK) {
        *step = "C_OpenSession";
        return rv;
    }
    residentAfterOpenKiB_ = residentKiB();
    if (options.pinGiven) {
        std::string pin = options.pin;
        rv = f_->C_Login(session_, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()),
                         pin.size());
        if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
            *step = "C_Login";
            return rv;
        }
        loggedIn_ = rv == CKR_OK;
    }
    if (selectedRowsNeedFixtures(options)) {
        makeFixtures(options.pinGiven);
    }
    return CKR_OK;
}

CK_RV CBenchSession::find(CK_OBJECT_CLASS objectClass, const char* label, CK_OBJECT_HANDLE* found) {
    CK_ATTRIBUTE query[] = {value(CKA_CLASS, objectClass), text(CKA_LABEL, label)};
    CK_RV rv = f_->C_FindObjectsInit(session_, query, 2);
    if (rv != CKR_OK) {
        return rv;
    }
    CK_ULONG count = 0;
    rv = f_->C_FindObjects(session_, found, 1, &count);
    const CK_RV final = f_->C_FindObjectsFinal(session_);
    if (rv == CKR_OK && count == 0) {
        *found = CK_INVALID_HANDLE;
    }
    return rv != CKR_OK ? rv : final;
}

void CBenchSession::makeFixtures(bool loggedIn) {
    CK_OBJECT_CLASS dataClass = CKO_DATA;
    CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
    CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;

    // Found in the token first.
    for (auto [fixture, objectClass, label] : {std::make_tuple(&data, dataClass, kDataLabel),
                                               std::make_tuple(&ec, privateClass, kEcLabel),
                                               std::make_tuple(&rsa, privateClass, kRsaLabel),
                                               std::make_tuple(&aes, secretClass, kAesLabel)}) {
        if (find(objectClass, label, &fixture->handle) != CKR_OK) {
            fixture->handle = CK_INVALID_HANDLE;
        }
    }

    // Else made for this run, as session objects.
    if (data.handle == CK_INVALID_HANDLE) {
        CK_BYTE bytes[16] = {};
        CK_ATTRIBUTE t[] = {value(CKA_CLASS, dataClass),
                            value(CKA_TOKEN, kFalse),
                            value(CKA_PRIVATE, kFalse),
                            text(CKA_LABEL, kDataLabel),
                            {CKA_VALUE, bytes, sizeof bytes}};
        CK_RV rv = f_->C_CreateObject(session_, t, 5, &data.handle);
        if (rv == CKR_OK) {
            data.made.push_back(data.handle);
        } else {
            data.handle = CK_INVALID_HANDLE;
            data.missing = missingFrom("C_CreateObject", rv);
        }
    }
    if (!loggedIn) {
        for (Fixture* key : {&ec, &rsa, &aes}) {
            if (key->handle == CK_INVALID_HANDLE) {
                key->missing = "no --pin";
            }
        }
        return;
    }
    // A key pair: the private key is the fixture; both halves are destroyed.
    auto pair = [this](Fixture& key, CK_MECHANISM_TYPE type, CK_ATTRIBUTE* pub, CK_ULONG pubCount,
                       CK_ATTRIBUTE* priv, CK_ULONG privCount) {
        if (key.handle != CK_INVALID_HANDLE) {
            return;
        }
        CK_MECHANISM mechanism{type, nullptr, 0};
        CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
        CK_RV rv = f_->C_GenerateKeyPair(session_, &mechanism, pub, pubCount, priv, privCount,
                                         &publicKey, &key.handle);
        if (rv == CKR_OK) {
            key.made = {publicKey, key.handle};
        } else {
            key.handle = CK_INVALID_HANDLE;
            key.missing = missingFrom("C_GenerateKeyPair", rv);
        }
    };
    {
        CK_ATTRIBUTE pub[] = {value(CKA_TOKEN, kFalse),
                              value(CKA_VERIFY, kTrue),
                              {CKA_EC_PARAMS, kP256, sizeof kP256},
                              text(CKA_LABEL, kEcLabel)};
        CK_ATTRIBUTE priv[] = {value(CKA_TOKEN, kFalse), value(CKA_PRIVATE, kTrue),
                               value(CKA_SENSITIVE, kTrue), value(CKA_SIGN, kTrue),
                               text(CKA_LABEL, kEcLabel)};
        pair(ec, CKM_EC_KEY_PAIR_GEN, pub, 4, priv, 5);
    }
    {
        CK_ULONG bits = 2048;
        CK_ATTRIBUTE pub[] = {value(CKA_TOKEN, kFalse),
                              value(CKA_VERIFY, kTrue),
                              value(CKA_MODULUS_BITS, bits),
                              {CKA_PUBLIC_EXPONENT, kExponent, sizeof kExponent},
                              text(CKA_LABEL, kRsaLabel)};
        CK_ATTRIBUTE priv[] = {value(CKA_TOKEN, kFalse), value(CKA_PRIVATE, kTrue),
                               value(CKA_SENSITIVE, kTrue), value(CKA_SIGN, kTrue),
                               text(CKA_LABEL, kRsaLabel)};
        pair(rsa, CKM_RSA_PKCS_KEY_PAIR_GEN, pub, 5, priv, 5);
    }
    if (aes.handle == CK_INVALID_HANDLE) {
        CK_ULONG length = 32;
        CK_MECHANISM mechanism{CKM_AES_KEY_GEN, nullptr, 0};
        CK_ATTRIBUTE t[] = {value(CKA_CLASS, secretClass), value(CKA_TOKEN, kFalse),
                            value(CKA_VALUE_LEN, length), value(CKA_ENCRYPT, kTrue),
                            text(CKA_LABEL, kAesLabel)};
        CK_RV rv = f_->C_GenerateKey(session_, &mechanism, t, 5, &aes.handle);
        if (rv == CKR_OK) {
            aes.made = {aes.handle};
        } else {
            aes.handle = CK_INVALID_HANDLE;
            aes.missing = missingFrom("C_GenerateKey", rv);
        }
    }
}

void CBenchSession::destroy(Fixture& fixture) {
    for (CK_OBJECT_HANDLE h : fixture.made) {
        f_->C_DestroyObject(session_, h);
    }
    fixture.made.clear();
}

CBenchSession::~CBenchSession() {
    if (session_ != CK_INVALID_HANDLE) {
        for (Fixture* fixture : {&data, &ec, &rsa, &aes}) {
            destroy(*fixture);
        }
        if (loggedIn_) {
            f_->C_Logout(session_);
        }
        f_->C_CloseSession(session_);
    }
    if (initialised_) {
        f_->C_Finalize(nullptr);
    }
}

namespace {

// Buffers the operations work in, allocated once.
struct Scratch {
    std::array<CK_BYTE, 1024> plain{};
    std::array<CK_BYTE, 1024 + 16> cipher{};
    std::array<CK_BYTE, 64> digestInput{};
    std::array<CK_BYTE, 512> signature{};
    std::array<CK_BYTE, 64 * 1024> piece{};
};

constexpr size_t kStreamBytes = 1 << 20;

using Operation = CK_RV (*)(CBenchSession&, Scratch&);

CK_RV getSessionInfo(CBenchSession& s, Scratch&) {
    CK_SESSION_INFO info;
    return s.f()->C_GetSessionInfo(s.session(), &info);
}

CK_RV generateRandom(CBenchSession& s, Scratch& b) {
    return s.f()->C_GenerateRandom(s.session(), b.signature.data(), 32);
}

CK_RV digest64(CBenchSession& s, Scratch& b) {
    CK_MECHANISM mechanism{CKM_SHA256, nullptr, 0};
    CK_RV rv = s.f()->C_DigestInit(s.session(), &mechanism);
    if (rv != CKR_OK) {
        return rv;
    }
    CK_ULONG length = b.signature.size();
    return s.f()->C_Digest(s.session(), b.digestInput.data(), b.digestInput.size(),
                           b.signature.data(), &length);
}

CK_RV findByLabel(CBenchSession& s, Scratch&) {
    CK_ATTRIBUTE query[] = {text(CKA_LABEL, kDataLabel)};
    CK_RV rv = s.f()->C_FindObjectsInit(s.session(), query, 1);
    if (rv != CKR_OK) {
        return rv;
    }
    CK_OBJECT_HANDLE found[4];
    CK_ULONG count = 0;
    rv = s.f()->C_FindObjects(s.session(), found, 4, &count);
    const CK_RV final = s.f()->C_FindObjectsFinal(s.session());
    if (rv == CKR_OK && count == 0) {
        return CKR_OBJECT_HANDLE_INVALID;  // the object is not found: nothing measured
    }
    return rv != CKR_OK ? rv : final;
}

CK_RV getLabel(CBenchSession& s, Scratch& b) {
    CK_ATTRIBUTE attribute{CKA_LABEL, b.signature.data(), b.signature.size()};
    return s.f()->C_GetAttributeValue(s.session(), s.data.handle, &attribute, 1);
}

CK_RV signWith(CBenchSession& s, Scratch& b, CK_MECHANISM_TYPE type, CK_OBJECT_HANDLE key) {
    CK_MECHANISM mechanism{type, nullptr, 0};
    CK_RV rv = s.f()->C_SignInit(s.session(), &mechanism, key);
    if (rv != CKR_OK) {
        return rv;
    }
    CK_ULONG length = b.signature.size();
    return s.f()->C_Sign(s.session(), b.digestInput.data(), 32, b.signature.data(), &length);
}

CK_RV signEcdsa(CBenchSession& s, Scratch& b) {
    return signWith(s, b, CKM_ECDSA, s.ec.handle);
}

CK_RV signRsa(CBenchSession& s, Scratch& b) {
    return signWith(s, b, CKM_SHA256_RSA_PKCS, s.rsa.handle);
}

CK_RV encryptAesCbc(CBenchSession& s, Scratch& b) {
    CK_BYTE iv[16] = {};
    CK_MECHANISM mechanism{CKM_AES_CBC, iv, sizeof iv};
    CK_RV rv = s.f()->C_EncryptInit(s.session(), &mechanism, s.aes.handle);
    if (rv != CKR_OK) {
        return rv;
    }
    CK_ULONG length = b.cipher.size();
    return s.f()->C_Encrypt(s.session(), b.plain.data(), b.plain.size(), b.cipher.data(), &length);
}

CK_RV digestStream(CBenchSession& s, Scratch& b) {
    CK_MECHANISM mechanism{CKM_SHA256, nullptr, 0};
    CK_RV rv = s.f()->C_DigestInit(s.session(), &mechanism);
    for (size_t done = 0; rv == CKR_OK && done < kStreamBytes; done += b.piece.size()) {
        rv = s.f()->C_DigestUpdate(s.session(), b.piece.data(), b.piece.size());
    }
    if (rv != CKR_OK) {
        // End the operation so that the session is usable for the next row.
        CK_ULONG length = b.signature.size();
        s.f()->C_DigestFinal(s.session(), b.signature.data(), &length);
        return rv;
    }
    CK_ULONG length = b.signature.size();
    return s.f()->C_DigestFinal(s.session(), b.signature.data(), &length);
}

struct Row {
    const char* name;
    Operation op;
    size_t streamBytes;  // non-zero: a throughput row, bytes per call
    bool fixture;        // works on a key or object of CBenchSession
};

const Row kRows[] = {
    {"C_GetSessionInfo", getSessionInfo, 0, false},
    {"C_GenerateRandom 32 B", generateRandom, 0, false},
    {"C_Digest SHA-256 64 B (init+digest)", digest64, 0, false},
    {"C_FindObjects by label (init+find+final)", findByLabel, 0, true},
    {"C_GetAttributeValue CKA_LABEL", getLabel, 0, true},
    {"ECDSA P-256 sign (init+sign)", signEcdsa, 0, true},
    {"RSA-2048 SHA256_RSA_PKCS sign (init+sign)", signRsa, 0, true},
    {"AES-256-CBC encrypt 1 KiB (init+encrypt)", encryptAesCbc, 0, true},
    {"C_DigestUpdate SHA-256 1 MiB stream", digestStream, kStreamBytes, false},
};

bool selected(const Row& row, const Options& options) {
    return std::string(row.name).rfind(options.only, 0) == 0;
}

bool selectedRowsNeedFixtures(const Options& options) {
    return std::any_of(std::begin(kRows), std::end(kRows),
                       [&](const Row& row) { return row.fixture && selected(row, options); });
}

const Fixture* fixtureOf(const CBenchSession& s, Operation op) {
    if (op == findByLabel || op == getLabel) {
        return &s.data;
    }
    if (op == signEcdsa) {
        return &s.ec;
    }
    if (op == signRsa) {
        return &s.rsa;
    }
    if (op == encryptAesCbc) {
        return &s.aes;
    }
    return nullptr;
}

RowResult runRow(CBenchSession& s, Scratch& scratch, const Row& row, const Options& options) {
    RowResult result;
    result.name = row.name;
    result.bytesPerOp = row.streamBytes;
    if (const Fixture* needed = fixtureOf(s, row.op);
        needed != nullptr && needed->handle == CK_INVALID_HANDLE) {
        result.missing = needed->missing;
        return result;
    }
    // Warm-up calls, which also show whether the module can do it at all.
    for (int i = 0; i < 3; ++i) {
        const CK_RV rv = row.op(s, scratch);
        if (rv != CKR_OK) {
            result.missing = rvName(rv);
            return result;
        }
    }
    // A throughput row moves a mebibyte per call: fewer samples.
    const size_t wanted =
        row.streamBytes != 0 ? std::max<size_t>(5, options.iterations / 100) : options.iterations;
    std::vector<int64_t> samples;
    samples.reserve(wanted);
    const auto budget = static_cast<int64_t>(options.rowSeconds * 1e9);
    int64_t spent = 0;
    while (samples.size() < wanted && spent < budget) {
        const int64_t start = nowNs();
        const CK_RV rv = row.op(s, scratch);
        const int64_t took = nowNs() - start;
        if (rv != CKR_OK) {
            result.missing = rvName(rv) + " after " + std::to_string(samples.size()) + " calls";
            return result;
        }
        samples.push_back(took);
        spent += took;
    }
    result.figures = summarize(samples);
    return result;
}

}  // namespace

std::vector<RowResult> runRows(CBenchSession& session, const Options& options) {
    auto scratch = std::make_unique<Scratch>();
    std::vector<RowResult> results;
    for (const Row& row : kRows) {
        if (!selected(row, options)) {
            continue;
        }
        results.push_back(runRow(session, *scratch, row, options));
    }
    return results;
}

}  // namespace vexa::p11bench
