// The crypto engine through its function ids: round trips for every
// mechanism family, the operation state machine, key checks, key
// generation, wrapping, unwrapping, derivation and digests.
#include "device_fixture.h"
#include "sim/crypto/mechanisms.h"
#include "test_support.h"

namespace vexa::sim::test {
namespace {

const Bytes kMessage = bytesOf("The quick brown fox jumps over the lazy dog, twice over.");

Bytes hex(const std::string& s) {
    Bytes out;
    EXPECT_TRUE(fromHex(s, &out)) << s;
    return out;
}

// A CK_ULONG parameter block in the device's layout: 4 bytes each.
Bytes ulongs32(std::initializer_list<uint32_t> values) {
    Bytes out;
    for (uint32_t v : values) {
        appendLe32(&out, v);
    }
    return out;
}

// The same block as a 64-bit host lays it out, which the device refuses.
Bytes ulongs64(std::initializer_list<uint32_t> values) {
    Bytes out;
    for (uint32_t v : values) {
        appendLe32(&out, v);
        appendLe32(&out, 0);
    }
    return out;
}

Bytes tampered(Bytes b, size_t at = 0) {
    b[at % b.size()] ^= 0x01;
    return b;
}

class CryptoTest : public DeviceTest {};

struct SignCase {
    const char* what;
    uint32_t key;  // index into the keys of the test
    DeviceMechanism mechanism;
    Bytes data;
};

TEST_F(CryptoTest, EverySignatureMechanismSignsAndVerifiesAndRefusesChanges) {
    const uint32_t s = userSession();
    uint32_t rsaPub = 0, rsaPriv = 0;
    rsaPair(s, 1024, &rsaPub, &rsaPriv);
    uint32_t ec[3][2] = {};
    ecPair(s, kP256, &ec[0][0], &ec[0][1]);
    ecPair(s, kP384, &ec[1][0], &ec[1][1]);
    ecPair(s, kP521, &ec[2][0], &ec[2][1]);
    const uint32_t hmacKey = secretKey(s, CKM_GENERIC_SECRET_KEY_GEN, 32);
    const uint32_t aesKey = secretKey(s, CKM_AES_KEY_GEN, 16);
    // key pairs as (verify, sign); secret keys serve both
    const uint32_t keys[][2] = {{rsaPub, rsaPriv},    {ec[0][0], ec[0][1]}, {ec[1][0], ec[1][1]},
                                {ec[2][0], ec[2][1]}, {hmacKey, hmacKey},   {aesKey, aesKey}};
    const Bytes hash32(32, 0x5A);
    const SignCase cases[] = {
        {"RSA PKCS#1", 0, mech(CKM_RSA_PKCS), kMessage},
        {"raw RSA", 0, mech(CKM_RSA_X_509), Bytes(20, 0x11)},
        {"MD5 RSA", 0, mech(CKM_MD5_RSA_PKCS), kMessage},
        {"SHA-1 RSA", 0, mech(CKM_SHA1_RSA_PKCS), kMessage},
        {"SHA-224 RSA", 0, mech(CKM_SHA224_RSA_PKCS), kMessage},
        {"SHA-256 RSA", 0, mech(CKM_SHA256_RSA_PKCS), kMessage},
        {"SHA-384 RSA", 0, mech(CKM_SHA384_RSA_PKCS), kMessage},
        {"SHA-512 RSA", 0, mech(CKM_SHA512_RSA_PKCS), kMessage},
        {"SHA-1 PSS", 0, mech(CKM_SHA1_RSA_PKCS_PSS, ulongs32({CKM_SHA_1, CKG_MGF1_SHA1, 20})),
         kMessage},
        {"SHA-224 PSS, 32-bit host", 0,
         mech(
             CKM_SHA224_RSA_PKCS_PSS,
             [] {
                 Bytes b;
                 for (uint32_t v : {uint32_t{CKM_SHA224}, uint32_t{CKG_MGF1_SHA224}, uint32_t{0}}) {
                     appendLe32(&b, v);
                 }
                 return b;
             }()),
         kMessage},
        {"SHA-256 PSS", 0,
         mech(CKM_SHA256_RSA_PKCS_PSS, ulongs32({CKM_SHA256, CKG_MGF1_SHA256, 32})), kMessage},
        {"SHA-384 PSS, other MGF", 0,
         mech(CKM_SHA384_RSA_PKCS_PSS, ulongs32({CKM_SHA384, CKG_MGF1_SHA1, 10})), kMessage},
        {"SHA-256 PSS without parameters", 0, mech(CKM_SHA256_RSA_PKCS_PSS), kMessage},
        {"PSS on a hash", 0, mech(CKM_RSA_PKCS_PSS, ulongs32({CKM_SHA256, CKG_MGF1_SHA256, 32})),
         hash32},
        {"ECDSA P-256", 1, mech(CKM_ECDSA), hash32},
        {"ECDSA P-384", 2, mech(CKM_ECDSA), Bytes(48, 0x33)},
        {"ECDSA P-521", 3, mech(CKM_ECDSA), Bytes(64, 0x44)},
        {"ECDSA with SHA-256", 1, mech(CKM_ECDSA_SHA256), kMessage},
        {"HMAC MD5", 4, mech(CKM_MD5_HMAC), kMessage},
        {"HMAC SHA-1", 4, mech(CKM_SHA_1_HMAC), kMessage},
        {"HMAC SHA-224", 4, mech(CKM_SHA224_HMAC), kMessage},
        {"HMAC SHA-256", 4, mech(CKM_SHA256_HMAC), kMessage},
        {"HMAC SHA-384", 4, mech(CKM_SHA384_HMAC), kMessage},
        {"HMAC SHA-512", 4, mech(CKM_SHA512_HMAC), kMessage},
        {"AES CMAC", 5, mech(CKM_AES_CMAC), kMessage},
    };
    for (const SignCase& c : cases) {
        SCOPED_TRACE(c.what);
        const uint32_t verifyKey = keys[c.key][0], signKey = keys[c.key][1];
        const Bytes sig = sign(s, c.mechanism, signKey, c.data);
        ASSERT_FALSE(sig.empty());
        EXPECT_EQ(verify(s, c.mechanism, verifyKey, c.data, sig), CKR_OK);
        EXPECT_EQ(verify(s, c.mechanism, verifyKey, tampered(c.data, 3), sig),
                  CKR_SIGNATURE_INVALID);
        EXPECT_EQ(verify(s, c.mechanism, verifyKey, c.data, tampered(sig, 7)),
                  CKR_SIGNATURE_INVALID);
        Bytes shorter(sig.begin(), sig.end() - 1);
        EXPECT_EQ(verify(s, c.mechanism, verifyKey, c.data, shorter), CKR_SIGNATURE_LEN_RANGE);

        // The same in parts: a multi-part signature verifies in one piece.
        ASSERT_EQ(opInit(F::SignInit, s, c.mechanism, signKey), CKR_OK);
        for (size_t off = 0; off < c.data.size(); off += 9) {
            const Bytes part(c.data.begin() + off,
                             c.data.begin() + std::min(off + 9, c.data.size()));
            ASSERT_EQ(step(F::SignUpdate, s, &part).rv, CKR_OK);
        }
        const Bytes partSig = mustFinal(F::SignFinal, s);
        EXPECT_EQ(partSig.size(), sig.size());
        EXPECT_EQ(verify(s, c.mechanism, verifyKey, c.data, partSig), CKR_OK);
        ASSERT_EQ(opInit(F::VerifyInit, s, c.mechanism, verifyKey), CKR_OK);
        ASSERT_EQ(step(F::VerifyUpdate, s, &c.data).rv, CKR_OK);
        EXPECT_EQ(step(F::VerifyFinal, s, &sig).rv, CKR_OK);
    }
}

struct CipherCase {
    const char* what;
    uint32_t key;  // index into the keys of the test
    DeviceMechanism mechanism;
    size_t length;  // of the plaintext
    size_t cipherLength;
};

TEST_F(CryptoTest, EveryCipherMechanismRoundTripsInOnePieceAndInParts) {
    const uint32_t s = userSession();
    uint32_t rsaPub = 0, rsaPriv = 0;
    rsaPair(s, 1024, &rsaPub, &rsaPriv);
    const uint32_t aesKey = secretKey(s, CKM_AES_KEY_GEN, 32);
    const uint32_t desKey = secretKey(s, CKM_DES3_KEY_GEN, 0);
    const uint32_t keys[][2] = {{rsaPub, rsaPriv}, {aesKey, aesKey}, {desKey, desKey}};
    DeviceMechanism oaep = mech(CKM_RSA_PKCS_OAEP);
    oaep.parameter.reset();
    oaep.parameterLength.reset();
    oaep.oaep =
        OaepParameters{CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, 5, bytesOf("label")};
    Bytes ctr = ulongs32({64});
    ctr.insert(ctr.end(), 16, 0xF0);
    const CipherCase cases[] = {
        {"RSA PKCS#1", 0, mech(CKM_RSA_PKCS), 100, 128},
        {"RSA OAEP SHA-256 with label", 0, oaep, 60, 128},
        {"raw RSA", 0, mech(CKM_RSA_X_509), 128, 128},
        {"AES ECB", 1, mech(CKM_AES_ECB), 64, 64},
        {"AES CBC", 1, mech(CKM_AES_CBC, Bytes(16, 7)), 48, 48},
        {"AES CBC PAD", 1, mech(CKM_AES_CBC_PAD, Bytes(16, 7)), 45, 48},
        {"AES CTR", 1, mech(CKM_AES_CTR, ctr), 45, 45},
        {"AES key wrap", 1, mech(CKM_AES_KEY_WRAP), 32, 40},
        {"DES3 ECB", 2, mech(CKM_DES3_ECB), 40, 40},
        {"DES3 CBC", 2, mech(CKM_DES3_CBC, Bytes(8, 3)), 40, 40},
        {"DES3 CBC PAD", 2, mech(CKM_DES3_CBC_PAD, Bytes(8, 3)), 41, 48},
    };
    for (const CipherCase& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes plain(c.length);
        for (size_t i = 0; i < plain.size(); ++i) {
            plain[i] = static_cast<uint8_t>(i * 13 + 1);
        }
        const Bytes cipher = encrypt(s, c.mechanism, keys[c.key][0], plain);
        EXPECT_EQ(cipher.size(), c.cipherLength);
        EXPECT_NE(cipher, plain);
        EXPECT_EQ(decrypt(s, c.mechanism, keys[c.key][1], cipher), plain);

        // Multi-part decryption in parts of 7 bytes gives the same plaintext.
        ASSERT_EQ(opInit(F::DecryptInit, s, c.mechanism, keys[c.key][1]), CKR_OK);
        Bytes joined;
        for (size_t off = 0; off < cipher.size(); off += 7) {
            const Bytes part(cipher.begin() + off,
                             cipher.begin() + std::min(off + 7, cipher.size()));
            const Bytes out = mustStep(F::DecryptUpdate, s, part);
            joined.insert(joined.end(), out.begin(), out.end());
        }
        const Bytes last = mustFinal(F::DecryptFinal, s);
        joined.insert(joined.end(), last.begin(), last.end());
        EXPECT_EQ(joined, plain);
    }
}

TEST_F(CryptoTest, OperationsFollowTheStateMachine) {
    const uint32_t s = userSession();
    const uint32_t aesKey = secretKey(s, CKM_AES_KEY_GEN, 16);
    const uint32_t hmacKey = secretKey(s, CKM_GENERIC_SECRET_KEY_GEN, 32);
    const DeviceMechanism cbcPad = mech(CKM_AES_CBC_PAD, Bytes(16, 1));
    const Bytes plain(20, 0x61);

    // Calls without an operation, and a second Init while one runs.
    EXPECT_EQ(step(F::Encrypt, s, &plain).rv, CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(step(F::Sign, s, &plain).rv, CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(step(F::DigestFinal, s, nullptr).rv, CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(verify(s, mech(CKM_SHA256_HMAC), hmacKey, plain, Bytes(32)), CKR_SIGNATURE_INVALID);
    EXPECT_EQ(step(F::Verify, s, &plain).rv, CKR_OPERATION_NOT_INITIALIZED);  // ended by that error
    ASSERT_EQ(opInit(F::EncryptInit, s, cbcPad, aesKey), CKR_OK);
    EXPECT_EQ(opInit(F::EncryptInit, s, mech(CKM_AES_ECB), aesKey), CKR_OPERATION_ACTIVE);
    ASSERT_EQ(opInit(F::SignInit, s, mech(CKM_SHA256_HMAC), hmacKey),
              CKR_OK);  // other kinds may run alongside

    // Size queries keep the operation: length only, then a buffer too small.
    DeviceResponse r = step(F::Encrypt, s, &plain, 0, true);
    EXPECT_EQ(r.rv, CKR_OK);
    EXPECT_EQ(r.length, 32u);
    EXPECT_FALSE(r.data);
    r = step(F::Encrypt, s, &plain, 31);
    EXPECT_EQ(r.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.length, 32u);
    EXPECT_FALSE(r.data);
    const Bytes cipher = mustStep(F::Encrypt, s, plain);
    EXPECT_EQ(cipher.size(), 32u);
    EXPECT_EQ(step(F::Encrypt, s, &plain).rv,
              CKR_OPERATION_NOT_INITIALIZED);  // ended by its final call

    r = step(F::Sign, s, &plain, 8);
    EXPECT_EQ(r.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.length, 32u);
    EXPECT_EQ(mustStep(F::Sign, s, plain).size(), 32u);

    // Padding tells the exact size only after decryption: a buffer that fits
    // the plaintext but not the bound works, one byte less is refused.
    ASSERT_EQ(opInit(F::DecryptInit, s, cbcPad, aesKey), CKR_OK);
    r = step(F::Decrypt, s, &cipher, 19);
    EXPECT_EQ(r.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.length, 20u);
    r = step(F::Decrypt, s, &cipher, 20);
    ASSERT_EQ(r.rv, CKR_OK);
    EXPECT_EQ(r.data, plain);

    // A multi-part operation refuses the single-part call, which ends it.
    ASSERT_EQ(opInit(F::EncryptInit, s, cbcPad, aesKey), CKR_OK);
    EXPECT_EQ(mustStep(F::EncryptUpdate, s, plain).size(), 16u);
    EXPECT_EQ(step(F::Encrypt, s, &plain).rv, CKR_OPERATION_ACTIVE);
    EXPECT_EQ(step(F::EncryptFinal, s, nullptr).rv, CKR_OPERATION_NOT_INITIALIZED);
    // So does a single-part operation, once it answered a size query or a
    // buffer too small: an update then ends it.
    for (const uint32_t capacity : {0u, 8u}) {
        ASSERT_EQ(opInit(F::EncryptInit, s, cbcPad, aesKey), CKR_OK);
        r = step(F::Encrypt, s, &plain, capacity, capacity == 0);
        EXPECT_EQ(r.rv, capacity == 0 ? CKR_OK : CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(step(F::EncryptUpdate, s, &plain, 64).rv, CKR_OPERATION_ACTIVE);
        EXPECT_EQ(step(F::Encrypt, s, &plain, 64).rv, CKR_OPERATION_NOT_INITIALIZED);
    }

    // An error ends the operation.
    ASSERT_EQ(opInit(F::DecryptInit, s, cbcPad, aesKey), CKR_OK);
    const Bytes shortCipher(17);
    EXPECT_EQ(step(F::Decrypt, s, &shortCipher).rv, CKR_ENCRYPTED_DATA_LEN_RANGE);
    EXPECT_EQ(step(F::DecryptFinal, s, nullptr).rv, CKR_OPERATION_NOT_INITIALIZED);

    // Operations belong to their session.
    const uint32_t other = openSession();
    ASSERT_EQ(opInit(F::EncryptInit, s, mech(CKM_AES_ECB), aesKey), CKR_OK);
    EXPECT_EQ(step(F::Encrypt, other, &cipher).rv, CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(mustStep(F::Encrypt, s, cipher).size(), 32u);
}

TEST_F(CryptoTest, KeysThatNeedContextLoginSignOnlyAfterIt) {
    const uint32_t s = userSession();
    uint32_t pub = 0, priv = 0;
    ASSERT_EQ(generatePair(s, mech(CKM_EC_KEY_PAIR_GEN), {Y(CKA_EC_PARAMS, kP256)},
                           {B(CKA_ALWAYS_AUTHENTICATE, true)}, &pub, &priv),
              CKR_OK);
    const Bytes hash(32, 1);
    ASSERT_EQ(opInit(F::SignInit, s, mech(CKM_ECDSA), priv), CKR_OK);
    EXPECT_EQ(step(F::Sign, s, &hash, 100).rv, CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(opInit(F::SignInit, s, mech(CKM_ECDSA), priv), CKR_OK);
    ASSERT_EQ(login(s, CKU_CONTEXT_SPECIFIC), CKR_OK);
    const Bytes sig = mustStep(F::Sign, s, hash);
    EXPECT_EQ(verify(s, mech(CKM_ECDSA), pub, hash, sig), CKR_OK);
    // The login served one operation.
    ASSERT_EQ(opInit(F::SignInit, s, mech(CKM_ECDSA), priv), CKR_OK);
    EXPECT_EQ(step(F::Sign, s, &hash, 100).rv, CKR_USER_NOT_LOGGED_IN);
}

struct InitCase {
    const char* what;
    F function;
    DeviceMechanism mechanism;
    uint32_t key;  // index into the keys of the test
    uint32_t rv;
};

TEST_F(CryptoTest, InitChecksMechanismKeyTypeAndKeyUsage) {
    const uint32_t s = userSession();
    uint32_t rsaPub = 0, rsaPriv = 0;
    rsaPair(s, 1024, &rsaPub, &rsaPriv);
    const uint32_t aesKey = secretKey(s, CKM_AES_KEY_GEN, 16);
    uint32_t noSign = 0;
    ASSERT_EQ(generateKey(s, mech(CKM_GENERIC_SECRET_KEY_GEN),
                          {U(CKA_VALUE_LEN, 32), B(CKA_SIGN, false)}, &noSign),
              CKR_OK);
    const uint32_t data = mustCreate(s, {U(CKA_CLASS, CKO_DATA)});
    const uint32_t keys[] = {rsaPub, rsaPriv, aesKey, noSign, data, 0xBAD};
    Bytes zeroBits = ulongs32({0});
    zeroBits.insert(zeroBits.end(), 16, 0);
    const InitCase cases[] = {
        {"usage flag false", F::SignInit, mech(CKM_SHA256_HMAC), 3, CKR_KEY_FUNCTION_NOT_PERMITTED},
        {"AES mechanism, RSA key", F::EncryptInit, mech(CKM_AES_ECB), 0, CKR_KEY_TYPE_INCONSISTENT},
        {"signing with a public key", F::SignInit, mech(CKM_SHA256_RSA_PKCS), 0,
         CKR_KEY_TYPE_INCONSISTENT},
        {"decrypting with a public key", F::DecryptInit, mech(CKM_RSA_PKCS), 0,
         CKR_KEY_TYPE_INCONSISTENT},
        {"no such key", F::EncryptInit, mech(CKM_AES_ECB), 5, CKR_KEY_HANDLE_INVALID},
        {"data object as key", F::EncryptInit, mech(CKM_AES_ECB), 4, CKR_KEY_HANDLE_INVALID},
        {"digest mechanism to encrypt", F::EncryptInit, mech(CKM_SHA256), 2, CKR_MECHANISM_INVALID},
        {"signature mechanism to encrypt", F::EncryptInit, mech(CKM_SHA256_HMAC), 2,
         CKR_MECHANISM_INVALID},
        {"single DES, AES key", F::EncryptInit, mech(CKM_DES_ECB), 2, CKR_KEY_TYPE_INCONSISTENT},
        {"unknown mechanism", F::SignInit, mech(0x7FFF0000), 1, CKR_MECHANISM_INVALID},
        {"CBC with a short IV", F::EncryptInit, mech(CKM_AES_CBC, Bytes(8)), 2,
         CKR_MECHANISM_PARAM_INVALID},
        {"ECB with a parameter", F::EncryptInit, mech(CKM_AES_ECB, Bytes(16)), 2,
         CKR_MECHANISM_PARAM_INVALID},
        {"CTR with no counter bits", F::EncryptInit, mech(CKM_AES_CTR, zeroBits), 2,
         CKR_MECHANISM_PARAM_INVALID},
        {"PSS with another hash", F::SignInit,
         mech(CKM_SHA256_RSA_PKCS_PSS, ulongs32({CKM_SHA_1, CKG_MGF1_SHA1, 20})), 1,
         CKR_MECHANISM_PARAM_INVALID},
        {"PSS salt too long", F::SignInit,
         mech(CKM_SHA256_RSA_PKCS_PSS, ulongs32({CKM_SHA256, CKG_MGF1_SHA256, 100})), 1,
         CKR_MECHANISM_PARAM_INVALID},
        // C_EncryptInit takes OAEP parameters in the oaep field only.
        {"OAEP without its oaep field", F::EncryptInit,
         mech(CKM_RSA_PKCS_OAEP, ulongs32({CKM_SHA_1, CKG_MGF1_SHA1, 1, 0})), 0,
         CKR_MECHANISM_PARAM_INVALID},
        {"PSS block in the host's 64-bit layout", F::SignInit,
         mech(CKM_SHA256_RSA_PKCS_PSS, ulongs64({CKM_SHA256, CKG_MGF1_SHA256, 32})), 1,
         CKR_MECHANISM_PARAM_INVALID},
        {"key wrap IV of 4 bytes", F::EncryptInit, mech(CKM_AES_KEY_WRAP, Bytes(4)), 2,
         CKR_MECHANISM_PARAM_INVALID},
    };
    for (const InitCase& c : cases) {
        EXPECT_EQ(opInit(c.function, s, c.mechanism, keys[c.key]), c.rv) << c.what;
    }
    // Refused inits leave nothing running.
    EXPECT_EQ(step(F::Encrypt, s, &kMessage).rv, CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(step(F::Sign, s, &kMessage).rv, CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(CryptoTest, EveryAdvertisedMechanismIsImplemented) {
    // The module's mechanism list, and the types its information table adds.
    const uint32_t advertised[] = {
        0x220,  0x255,  0x250,  0x260,  0x270,  0x221,  0x256,  0x251,  0x261,  0x271,  0x0,
        0x1,    0x3,    0x5,    0x6,    0x9,    0x46,   0x40,   0x41,   0x42,   0xD,    0xE,
        0x47,   0x43,   0x44,   0x45,   0x120,  0x131,  0x121,  0x122,  0x125,  0x132,  0x133,
        0x136,  0x1102, 0x1103, 0x1080, 0x1081, 0x1082, 0x1085, 0x1086, 0x2109, 0x1104, 0x1105,
        0x2000, 0x10,   0x11,   0x12,   0x13,   0x14,   0x15,   0x16,   0x20,   0x2001, 0x21,
        0x1040, 0x1041, 0x1050, 0x210,  0x211,  0x130,  0x108A, 0x1100, 0x1101};
    for (uint32_t type : advertised) {
        EXPECT_NE(crypto::findMechanism(type), nullptr) << std::hex << type;
    }
}

struct GenCase {
    const char* what;
    uint32_t mechanism;
    Attrs pub;
    Attrs priv;
    uint32_t rv;
};

TEST_F(CryptoTest, KeyGenerationChecksItsTemplates) {
    const uint32_t s = userSession();
    const GenCase cases[] = {
        {"RSA without size", CKM_RSA_PKCS_KEY_PAIR_GEN, {}, {}, CKR_TEMPLATE_INCOMPLETE},
        {"RSA of 512 bits",
         CKM_RSA_PKCS_KEY_PAIR_GEN,
         {U(CKA_MODULUS_BITS, 512)},
         {},
         CKR_KEY_SIZE_RANGE},
        {"RSA of 8192 bits",
         CKM_RSA_PKCS_KEY_PAIR_GEN,
         {U(CKA_MODULUS_BITS, 8192)},
         {},
         CKR_KEY_SIZE_RANGE},
        {"RSA with an even exponent",
         CKM_RSA_PKCS_KEY_PAIR_GEN,
         {U(CKA_MODULUS_BITS, 1024), Y(CKA_PUBLIC_EXPONENT, Bytes{0x01, 0x00})},
         {},
         CKR_ATTRIBUTE_VALUE_INVALID},
        {"RSA with a given modulus",
         CKM_RSA_PKCS_KEY_PAIR_GEN,
         {U(CKA_MODULUS_BITS, 1024), Y(CKA_MODULUS, Bytes(128, 1))},
         {},
         CKR_ATTRIBUTE_READ_ONLY},
        {"EC without curve", CKM_EC_KEY_PAIR_GEN, {}, {}, CKR_TEMPLATE_INCOMPLETE},
        {"EC on an unknown curve",
         CKM_EC_KEY_PAIR_GEN,
         {Y(CKA_EC_PARAMS, Bytes{0x06, 0x03, 0x2B, 0x65, 0x70})},
         {},
         CKR_CURVE_NOT_SUPPORTED},
        {"EC with a given point",
         CKM_EC_KEY_PAIR_GEN,
         {Y(CKA_EC_PARAMS, kP256), Y(CKA_EC_POINT, Bytes(67))},
         {},
         CKR_ATTRIBUTE_READ_ONLY},
        {"class contradicting the mechanism",
         CKM_EC_KEY_PAIR_GEN,
         {Y(CKA_EC_PARAMS, kP256), U(CKA_CLASS, CKO_PRIVATE_KEY)},
         {},
         CKR_TEMPLATE_INCONSISTENT},
        {"key type contradicting the mechanism",
         CKM_EC_KEY_PAIR_GEN,
         {Y(CKA_EC_PARAMS, kP256)},
         {U(CKA_KEY_TYPE, CKK_RSA)},
         CKR_TEMPLATE_INCONSISTENT},
    };
    for (const GenCase& c : cases) {
        uint32_t pub = 0, priv = 0;
        EXPECT_EQ(generatePair(s, mech(c.mechanism), c.pub, c.priv, &pub, &priv), c.rv) << c.what;
    }
    uint32_t h = 0;
    EXPECT_EQ(generateKey(s, mech(CKM_AES_KEY_GEN), {}, &h), CKR_TEMPLATE_INCOMPLETE);
    EXPECT_EQ(generateKey(s, mech(CKM_AES_KEY_GEN), {U(CKA_VALUE_LEN, 20)}, &h),
              CKR_KEY_SIZE_RANGE);
    EXPECT_EQ(
        generateKey(s, mech(CKM_AES_KEY_GEN), {U(CKA_VALUE_LEN, 16), Y(CKA_VALUE, Bytes(16))}, &h),
        CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(generateKey(s, mech(CKM_RSA_PKCS_KEY_PAIR_GEN), {}, &h), CKR_MECHANISM_INVALID);
    // A default private key needs the user; a salt of the hash's size does
    // not fit SHA-512 PSS into 1024 bits.
    uint32_t pub = 0, priv = 0;
    rsaPair(s, 1024, &pub, &priv);
    EXPECT_EQ(opInit(F::SignInit, s, mech(CKM_SHA512_RSA_PKCS_PSS), priv),
              CKR_MECHANISM_PARAM_INVALID);
    ASSERT_EQ(logout(s), CKR_OK);
    EXPECT_EQ(generateKey(s, mech(CKM_AES_KEY_GEN), {U(CKA_VALUE_LEN, 16)}, &h),
              CKR_USER_NOT_LOGGED_IN);
}

TEST_F(CryptoTest, GeneratedKeysCarryTheirMaterialAndHistory) {
    const uint32_t s = userSession();
    uint32_t pub = 0, priv = 0;
    ASSERT_EQ(generatePair(s, mech(CKM_RSA_PKCS_KEY_PAIR_GEN),
                           {U(CKA_MODULUS_BITS, 1024),
                            Y(CKA_PUBLIC_EXPONENT, Bytes{0x01, 0x00, 0x01}), Y(CKA_ID, "id1")},
                           {Y(CKA_ID, "id1")}, &pub, &priv),
              CKR_OK);
    EXPECT_EQ(value(s, pub, CKA_MODULUS).size(), 128u);
    EXPECT_EQ(value(s, pub, CKA_MODULUS), value(s, priv, CKA_MODULUS));
    EXPECT_EQ(value(s, pub, CKA_PUBLIC_EXPONENT), (Bytes{0x01, 0x00, 0x01}));
    DeviceResponse r = getAttributes(s, priv,
                                     {CKA_LOCAL, CKA_KEY_GEN_MECHANISM, CKA_ALWAYS_SENSITIVE,
                                      CKA_NEVER_EXTRACTABLE, CKA_PRIVATE_EXPONENT, CKA_PRIME_1});
    EXPECT_EQ(r.rv, CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_TRUE(r.attributes[0].boolValue);
    EXPECT_EQ(r.attributes[1].ulongValue, CKM_RSA_PKCS_KEY_PAIR_GEN);
    EXPECT_TRUE(r.attributes[2].boolValue);
    EXPECT_TRUE(r.attributes[3].boolValue);
    EXPECT_EQ(r.attributes[4].length, 0xFFFFFFFFu);
    EXPECT_EQ(r.attributes[5].length, 0xFFFFFFFFu);
    EXPECT_EQ(getAttributes(s, pub, {CKA_MODULUS_BITS}).attributes[0].ulongValue, 1024u);

    ecPair(s, kP384, &pub, &priv);
    const Bytes point = value(s, pub, CKA_EC_POINT);
    ASSERT_EQ(point.size(), 2u + 97u);  // DER OCTET STRING of 04 || X || Y
    EXPECT_EQ(point[0], 0x04);
    EXPECT_EQ(point[1], 97);
    EXPECT_EQ(point[2], 0x04);
    EXPECT_EQ(value(s, priv, CKA_EC_PARAMS), kP384);
}

TEST(DorvikKeys, RsaStopsAt2048Bits) {
    class Dorvik : public DeviceTest {
    public:
        Dorvik() : DeviceTest("Dorvik") {}
        void TestBody() override {}
    } device;
    const uint32_t s = device.userSession();
    uint32_t pub = 0, priv = 0;
    EXPECT_EQ(device.generatePair(s, mech(CKM_RSA_PKCS_KEY_PAIR_GEN), {U(CKA_MODULUS_BITS, 3072)},
                                  {}, &pub, &priv),
              CKR_KEY_SIZE_RANGE);
}

TEST_F(CryptoTest, SecretKeysWrapAndUnwrapWithAesKeyWrapAndRsa) {
    const uint32_t s = userSession();
    const uint32_t kek = secretKey(s, CKM_AES_KEY_GEN, 32);
    const uint32_t target = secretKey(s, CKM_AES_KEY_GEN, 24, true);
    uint32_t rsaPub = 0, rsaPriv = 0;
    rsaPair(s, 1024, &rsaPub, &rsaPriv);
    const Bytes plain(32, 0x77);
    const Bytes expected = encrypt(s, mech(CKM_AES_ECB), target, plain);
    const Attrs unwrapTemplate = {U(CKA_CLASS, CKO_SECRET_KEY), U(CKA_KEY_TYPE, CKK_AES),
                                  B(CKA_EXTRACTABLE, true), B(CKA_SENSITIVE, false)};
    struct Case {
        const char* what;
        DeviceMechanism mechanism;
        uint32_t wrapKey, unwrapKey;
        size_t wrappedLength;
    };
    const Case cases[] = {
        {"AES key wrap", mech(CKM_AES_KEY_WRAP), kek, kek, 32},
        {"AES key wrap with own IV", mech(CKM_AES_KEY_WRAP, Bytes(8, 0x99)), kek, kek, 32},
        {"RSA PKCS#1", mech(CKM_RSA_PKCS), rsaPub, rsaPriv, 128},
        // C_WrapKey sends CK_RSA_PKCS_OAEP_PARAMS in the device's layout.
        {"RSA OAEP", mech(CKM_RSA_PKCS_OAEP, ulongs32({CKM_SHA_1, CKG_MGF1_SHA1, 1, 0})), rsaPub,
         rsaPriv, 128},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceRequest wrap = req(F::WrapKey, s);
        wrap.mechanism = c.mechanism;
        wrap.object = target;
        wrap.object2 = c.wrapKey;
        wrap.outCapacity = 8;
        DeviceResponse r = call(wrap);
        EXPECT_EQ(r.rv, CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.length, c.wrappedLength);
        wrap.outCapacity = 512;
        r = call(wrap);
        ASSERT_EQ(r.rv, CKR_OK);
        ASSERT_EQ(r.data->size(), c.wrappedLength);

        DeviceRequest unwrap = req(F::UnwrapKey, s);
        unwrap.mechanism = c.mechanism;
        unwrap.object = c.unwrapKey;
        unwrap.data = *r.data;
        unwrap.templ = unwrapTemplate;
        DeviceResponse u = call(unwrap);
        ASSERT_EQ(u.rv, CKR_OK);
        const uint32_t copy = *u.handle;
        EXPECT_EQ(encrypt(s, mech(CKM_AES_ECB), copy, plain), expected);
        EXPECT_EQ(value(s, copy, CKA_VALUE), value(s, target, CKA_VALUE));
        DeviceResponse history = getAttributes(s, copy, {CKA_LOCAL, CKA_ALWAYS_SENSITIVE});
        EXPECT_FALSE(history.attributes[0].boolValue);
        EXPECT_FALSE(history.attributes[1].boolValue);

        unwrap.data = tampered(*r.data, 5);
        EXPECT_EQ(call(unwrap).rv, CKR_WRAPPED_KEY_INVALID);
        unwrap.data = Bytes(r.data->begin(), r.data->end() - 1);
        const uint32_t rv = call(unwrap).rv;
        EXPECT_TRUE(rv == CKR_WRAPPED_KEY_LEN_RANGE) << std::hex << rv;
    }

    DeviceRequest wrap = req(F::WrapKey, s);
    wrap.mechanism = mech(CKM_AES_KEY_WRAP);
    wrap.object2 = kek;
    wrap.outCapacity = 512;
    wrap.object = kek;  // not extractable
    EXPECT_EQ(call(wrap).rv, CKR_KEY_UNEXTRACTABLE);
    wrap.object = rsaPriv;
    EXPECT_EQ(call(wrap).rv, CKR_KEY_NOT_WRAPPABLE);
    wrap.object = target;
    wrap.object2 = 0xBAD;
    EXPECT_EQ(call(wrap).rv, CKR_WRAPPING_KEY_HANDLE_INVALID);
    wrap.object2 = rsaPriv;
    EXPECT_EQ(call(wrap).rv, CKR_WRAPPING_KEY_TYPE_INCONSISTENT);
    wrap.mechanism = mech(CKM_AES_CBC_PAD, Bytes(16));
    wrap.object2 = kek;
    EXPECT_EQ(call(wrap).rv, CKR_MECHANISM_INVALID);

    DeviceRequest unwrap = req(F::UnwrapKey, s);
    unwrap.mechanism = mech(CKM_AES_KEY_WRAP);
    unwrap.object = kek;
    unwrap.data = Bytes(40);
    unwrap.templ = {U(CKA_KEY_TYPE, CKK_AES)};
    EXPECT_EQ(call(unwrap).rv, CKR_TEMPLATE_INCOMPLETE);
}

TEST_F(CryptoTest, EcdhGivesBothSidesTheSameSecret) {
    const uint32_t s = userSession();
    const Attrs derivable = {B(CKA_DERIVE, true)};
    uint32_t aPub = 0, aPriv = 0, bPub = 0, bPriv = 0;
    ecPair(s, kP256, &aPub, &aPriv, derivable);
    ecPair(s, kP256, &bPub, &bPriv, derivable);
    auto derive = [&](uint32_t base, const Bytes& peer, Attrs tmpl, uint32_t kdf, uint32_t* rv) {
        DeviceRequest r = req(F::DeriveKey, s);
        r.mechanism = mech(CKM_ECDH1_DERIVE);
        r.mechanism->parameter.reset();
        r.mechanism->parameterLength.reset();
        r.mechanism->ecdh = Ecdh1DeriveParameters{kdf, std::nullopt, peer};
        r.object = base;
        r.templ = std::move(tmpl);
        DeviceResponse resp = call(r);
        *rv = resp.rv;
        return resp.handle.value_or(0);
    };
    const Attrs readable = {B(CKA_SENSITIVE, false), B(CKA_EXTRACTABLE, true)};
    uint32_t rv = 0;
    const uint32_t ab = derive(aPriv, value(s, bPub, CKA_EC_POINT), readable, CKD_NULL, &rv);
    ASSERT_EQ(rv, CKR_OK);
    // The bare point works as well as its DER form.
    const Bytes pointA = value(s, aPub, CKA_EC_POINT);
    const Bytes bareA(pointA.begin() + 2, pointA.end());
    const uint32_t ba = derive(bPriv, bareA, readable, CKD_NULL, &rv);
    ASSERT_EQ(rv, CKR_OK);
    const Bytes secret = value(s, ab, CKA_VALUE);
    EXPECT_EQ(secret.size(), 32u);
    EXPECT_EQ(secret, value(s, ba, CKA_VALUE));
    EXPECT_EQ(getAttributes(s, ab, {CKA_KEY_TYPE}).attributes[0].ulongValue, CKK_GENERIC_SECRET);

    Attrs shortKey = readable;
    shortKey.push_back(U(CKA_VALUE_LEN, 16));
    const uint32_t half = derive(aPriv, value(s, bPub, CKA_EC_POINT), shortKey, CKD_NULL, &rv);
    ASSERT_EQ(rv, CKR_OK);
    EXPECT_EQ(value(s, half, CKA_VALUE), Bytes(secret.begin(), secret.begin() + 16));
    Attrs aes = readable;
    aes.push_back(U(CKA_KEY_TYPE, CKK_AES));
    const uint32_t aesKey = derive(aPriv, value(s, bPub, CKA_EC_POINT), aes, CKD_NULL, &rv);
    ASSERT_EQ(rv, CKR_OK);
    EXPECT_EQ(encrypt(s, mech(CKM_AES_ECB), aesKey, Bytes(16)).size(), 16u);

    Bytes offCurve = value(s, bPub, CKA_EC_POINT);
    offCurve.back() ^= 1;
    derive(aPriv, offCurve, readable, CKD_NULL, &rv);
    EXPECT_EQ(rv, CKR_MECHANISM_PARAM_INVALID);
    derive(aPriv, value(s, bPub, CKA_EC_POINT), readable, CKD_SHA1_KDF, &rv);
    EXPECT_EQ(rv, CKR_MECHANISM_PARAM_INVALID);
    Attrs tooLong = readable;
    tooLong.push_back(U(CKA_VALUE_LEN, 33));
    derive(aPriv, value(s, bPub, CKA_EC_POINT), tooLong, CKD_NULL, &rv);
    EXPECT_EQ(rv, CKR_TEMPLATE_INCONSISTENT);
    uint32_t cPub = 0, cPriv = 0;
    ecPair(s, kP256, &cPub, &cPriv);  // CKA_DERIVE is false by default
    derive(cPriv, value(s, bPub, CKA_EC_POINT), readable, CKD_NULL, &rv);
    EXPECT_EQ(rv, CKR_KEY_FUNCTION_NOT_PERMITTED);
}

TEST_F(CryptoTest, DigestsMatchKnownValuesInOneOrManyParts) {
    const uint32_t s = openSession();
    struct Case {
        uint32_t mechanism;
        const char* abc;  // digest of "abc"
    };
    const Case cases[] = {
        {CKM_MD5, "900150983cd24fb0d6963f7d28e17f72"},
        {CKM_SHA_1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {CKM_SHA224, "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
        {CKM_SHA256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {CKM_SHA384,
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca13"
         "4c"
         "825a7"},
        {CKM_SHA512,
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a"
         "3f"
         "eebbd454d4423643ce80e2a9ac94fa54ca49f"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(opInit(F::DigestInit, s, mech(c.mechanism), 0), CKR_OK);
        for (const char* part : {"a", "", "bc"}) {
            const Bytes b = bytesOf(part);
            ASSERT_EQ(step(F::DigestUpdate, s, &b).rv, CKR_OK);
        }
        DeviceResponse r = step(F::DigestFinal, s, nullptr, 0, true);
        const uint32_t size = r.length.value_or(0);
        EXPECT_EQ(size, hex(c.abc).size());
        r = step(F::DigestFinal, s, nullptr, size - 1);
        EXPECT_EQ(r.rv, CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(mustFinal(F::DigestFinal, s), hex(c.abc)) << std::hex << c.mechanism;
    }
    EXPECT_EQ(opInit(F::DigestInit, s, mech(CKM_SHA256, Bytes(4)), 0), CKR_MECHANISM_PARAM_INVALID);
}

TEST_F(CryptoTest, DigestKeyDigestsTheValueOfSecretKeysOnly) {
    const uint32_t s = userSession();
    const uint32_t key = secretKey(s, CKM_GENERIC_SECRET_KEY_GEN, 40, true);
    uint32_t pub = 0, priv = 0;
    ecPair(s, kP256, &pub, &priv);
    const Bytes tail = bytesOf("tail");
    ASSERT_EQ(opInit(F::DigestInit, s, mech(CKM_SHA256), 0), CKR_OK);
    DeviceRequest digestKey = req(F::DigestKey, s);
    digestKey.object = key;
    ASSERT_EQ(call(digestKey).rv, CKR_OK);
    ASSERT_EQ(step(F::DigestUpdate, s, &tail).rv, CKR_OK);
    const Bytes viaKey = mustFinal(F::DigestFinal, s);

    Bytes joined = value(s, key, CKA_VALUE);
    joined.insert(joined.end(), tail.begin(), tail.end());
    ASSERT_EQ(opInit(F::DigestInit, s, mech(CKM_SHA256), 0), CKR_OK);
    ASSERT_EQ(step(F::DigestUpdate, s, &joined).rv, CKR_OK);
    EXPECT_EQ(mustFinal(F::DigestFinal, s), viaKey);

    ASSERT_EQ(opInit(F::DigestInit, s, mech(CKM_SHA256), 0), CKR_OK);
    digestKey.object = pub;
    EXPECT_EQ(call(digestKey).rv, CKR_KEY_INDIGESTIBLE);
    EXPECT_EQ(step(F::DigestFinal, s, nullptr, 64).rv, CKR_OPERATION_NOT_INITIALIZED);
}

}  // namespace
}  // namespace vexa::sim::test

namespace vexa::sim::test {
namespace {

TEST_F(CryptoTest, RequestsWithMissingOrOddFieldsGetErrorsWithoutHarm) {
    const uint32_t s = userSession();
    const uint32_t key = secretKey(s, CKM_AES_KEY_GEN, 16);
    const F ids[] = {F::GenerateKey,
                     F::EncryptInit,
                     F::Encrypt,
                     F::DecryptInit,
                     F::Decrypt,
                     F::EncryptUpdate,
                     F::DecryptUpdate,
                     F::EncryptFinal,
                     F::DecryptFinal,
                     F::GenerateKeyPair,
                     F::GetAttributeValue,
                     F::SignInit,
                     F::Sign,
                     F::VerifyInit,
                     F::Verify,
                     F::SignUpdate,
                     F::VerifyUpdate,
                     F::SignFinal,
                     F::VerifyFinal,
                     F::DigestInit,
                     F::DigestUpdate,
                     F::DigestFinal,
                     F::FindObjectsInit,
                     F::CreateObject,
                     F::SetAttributeValue,
                     F::FindObjects,
                     F::FindObjectsFinal,
                     F::DestroyObject,
                     F::CopyObject,
                     F::WrapKey,
                     F::UnwrapKey,
                     F::DeriveKey,
                     F::DigestKey,
                     F::GetObjectSize};
    // Harmless with nothing given: an empty search and its end, empty parts.
    const F allowedOk[] = {F::GetAttributeValue, F::FindObjectsInit, F::SetAttributeValue,
                           F::FindObjectsFinal,  F::SignUpdate,      F::VerifyUpdate,
                           F::DigestUpdate};
    for (F function : ids) {
        const uint32_t id = test::id(function);
        // Only the session.
        DeviceResponse bare = call(req(function, s));
        if (std::find(std::begin(allowedOk), std::end(allowedOk), function) ==
            std::end(allowedOk)) {
            EXPECT_NE(bare.rv, CKR_OK) << id;
        }
        // Odd values everywhere.
        DeviceRequest odd = req(function, s);
        odd.mechanism = mech(0xFFFFFFFF, Bytes(3, 0xFF));
        odd.mechanism->oaep = OaepParameters{};
        odd.mechanism->ecdh = Ecdh1DeriveParameters{};
        odd.object = key;
        odd.object2 = 0xFFFFFFFF;
        odd.data = Bytes(5000, 0xEE);
        odd.data2 = Bytes();
        odd.outCapacity = 0xFFFFFFFF;
        odd.templ = {T(0xFFFFFFFF), Y(CKA_CLASS, Bytes(3))};
        odd.templ2 = {U(CKA_TOKEN, 7)};
        const DeviceResponse r = call(odd);
        EXPECT_NE(r.rv, CKR_DEVICE_ERROR) << id;
        // Without a session the dispatcher refuses before any handler runs.
        DeviceRequest noSession = odd;
        noSession.session.reset();
        EXPECT_EQ(call(noSession).rv, CKR_SESSION_HANDLE_INVALID) << id;
    }
    // The session still works (the odd C_DestroyObject took the key).
    EXPECT_EQ(getAttributes(s, key, {CKA_CLASS}).rv, CKR_OBJECT_HANDLE_INVALID);
    const uint32_t fresh = secretKey(s, CKM_AES_KEY_GEN, 16);
    EXPECT_EQ(encrypt(s, mech(CKM_AES_ECB), fresh, Bytes(16)).size(), 16u);
}

}  // namespace
}  // namespace vexa::sim::test
