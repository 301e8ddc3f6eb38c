// Single DES, DSA, PKCS#3 DH and the derivations by encryption against
// published answers and an independent implementation (the openssl command
// line), and the history PKCS#11 gives a key by how it came to be.
#include <mbedtls/dhm.h>

#include "device_fixture.h"
#include "test_support.h"

namespace vexa::sim::test {
namespace {

Bytes hexBytes(const std::string& hex) {
    Bytes out;
    EXPECT_TRUE(fromHex(hex, &out)) << hex;
    return out;
}

// ---- DER, just enough for openssl to read DSA and DH keys and signatures --

Bytes der(uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    const size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n < 0x100) {
        out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
    } else {
        out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes derInteger(Bytes magnitude) {
    size_t skip = 0;
    while (skip + 1 < magnitude.size() && magnitude[skip] == 0) {
        ++skip;
    }
    magnitude.erase(magnitude.begin(), magnitude.begin() + static_cast<long>(skip));
    if (magnitude.empty() || (magnitude[0] & 0x80) != 0) {
        magnitude.insert(magnitude.begin(), 0);
    }
    return der(0x02, magnitude);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes sequence(std::initializer_list<Bytes> parts) {
    return der(0x30, concat(parts));
}

// SubjectPublicKeyInfo of a finite-field key: algorithm `oid` with
// `params`, the public value as an INTEGER in the BIT STRING.
Bytes publicKeyInfo(const Bytes& oid, const Bytes& params, const Bytes& y) {
    Bytes bits{0};
    const Bytes integer = derInteger(y);
    bits.insert(bits.end(), integer.begin(), integer.end());
    return sequence({sequence({der(0x06, oid), params}), der(0x03, bits)});
}

const Bytes kDsaOid = {0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x01};             // 1.2.840.10040.4.1
const Bytes kDhOid = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x03, 0x01};  // PKCS#3

// The INTEGERs of a DER SEQUENCE (a DSA signature, a traditional key).
std::vector<Bytes> integersOf(const Bytes& sequenceBytes) {
    std::vector<Bytes> out;
    size_t at = 2;
    if (sequenceBytes.size() > 1 && sequenceBytes[1] & 0x80) {
        at += sequenceBytes[1] & 0x7F;
    }
    while (at + 2 <= sequenceBytes.size() && sequenceBytes[at] == 0x02) {
        size_t length = sequenceBytes[at + 1];
        size_t header = 2;
        if (length & 0x80) {
            const size_t count = length & 0x7F;
            length = 0;
            for (size_t i = 0; i < count; ++i) {
                length = length << 8 | sequenceBytes[at + 2 + i];
            }
            header += count;
        }
        out.emplace_back(sequenceBytes.begin() + static_cast<long>(at + header),
                         sequenceBytes.begin() + static_cast<long>(at + header + length));
        at += header + length;
    }
    return out;
}

// A number in the device's layout: 4 little-endian bytes.
Bytes word(uint32_t v) {
    Bytes out;
    appendLe32(&out, v);
    return out;
}

Bytes leftPad(Bytes b, size_t width) {
    while (b.size() > width && b[0] == 0) {
        b.erase(b.begin());
    }
    b.insert(b.begin(), width - std::min(width, b.size()), 0);
    return b;
}

class KnownAnswers : public DeviceTest {
protected:
    DeviceResponse derive(uint32_t session, DeviceMechanism m, uint32_t base, Attrs tmpl) {
        DeviceRequest r = req(F::DeriveKey, session);
        r.mechanism = std::move(m);
        r.object = base;
        r.templ = std::move(tmpl);
        return call(r);
    }
    TempDir dir;
};

TEST_F(KnownAnswers, SingleDesMatchesThePublishedExamples) {
    const uint32_t s = userSession();
    const uint32_t key = mustCreate(s, {U(CKA_CLASS, CKO_SECRET_KEY), U(CKA_KEY_TYPE, CKK_DES),
                                        Y(CKA_VALUE, hexBytes("0123456789abcdef"))});
    const Bytes plain = bytesOf("Now is the time for all ");
    EXPECT_EQ(encrypt(s, mech(CKM_DES_ECB), key, plain),
              hexBytes("3fa40e8a984d48156a271787ab8883f9893d51ec4b563b53"));
    const Bytes iv = hexBytes("1234567890abcdef");
    const Bytes cbc = hexBytes("e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6");
    EXPECT_EQ(encrypt(s, mech(CKM_DES_CBC, iv), key, plain), cbc);
    EXPECT_EQ(decrypt(s, mech(CKM_DES_CBC, iv), key, cbc), plain);
    // CBC_PAD adds a whole block to a multiple of the block size.
    const Bytes padded = encrypt(s, mech(CKM_DES_CBC_PAD, iv), key, plain);
    EXPECT_EQ(padded.size(), 32u);
    EXPECT_EQ(Bytes(padded.begin(), padded.begin() + 24), cbc);
    EXPECT_EQ(decrypt(s, mech(CKM_DES_CBC_PAD, iv), key, padded), plain);
    // Wrong key lengths and a DES key for triple DES are refused.
    uint32_t h = 0;
    EXPECT_EQ(
        create(s, {U(CKA_CLASS, CKO_SECRET_KEY), U(CKA_KEY_TYPE, CKK_DES), Y(CKA_VALUE, Bytes(7))},
               &h),
        CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_EQ(opInit(F::EncryptInit, s, mech(CKM_DES3_ECB), key), CKR_KEY_TYPE_INCONSISTENT);

    // Generated DES and two-key triple DES keys: odd parity in every byte.
    for (const auto& [mechanism, length] :
         {std::pair{CKM_DES_KEY_GEN, size_t{8}}, std::pair{CKM_DES2_KEY_GEN, size_t{16}}}) {
        const uint32_t made = secretKey(s, static_cast<uint32_t>(mechanism), 0, true);
        const Bytes value = this->value(s, made, CKA_VALUE);
        ASSERT_EQ(value.size(), length);
        for (uint8_t b : value) {
            EXPECT_EQ(__builtin_popcount(b) % 2, 1) << std::hex << int{b};
        }
    }
}

TEST_F(KnownAnswers, DsaSignaturesAgreeWithOpensslBothWays) {
    const uint32_t s = userSession();
    // Domain parameters and a key pair made by openssl, imported.
    openssl(
        "genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:2048 "
        "-pkeyopt dsa_paramgen_q_bits:256 -out " +
        dir.file("params.pem"));
    openssl("genpkey -paramfile " + dir.file("params.pem") + " -out " + dir.file("key.pem"));
    openssl("pkey -in " + dir.file("key.pem") + " -pubout -out " + dir.file("pub.pem"));
    openssl("pkey -in " + dir.file("key.pem") + " -traditional -outform DER -out " +
            dir.file("key.der"));
    const std::vector<Bytes> k = integersOf(readBytes(dir.file("key.der")));
    ASSERT_EQ(k.size(), 6u);  // version, p, q, g, y, x
    const Attrs domain = {Y(CKA_PRIME, k[1]), Y(CKA_SUBPRIME, k[2]), Y(CKA_BASE, k[3])};
    Attrs priv = {U(CKA_CLASS, CKO_PRIVATE_KEY), U(CKA_KEY_TYPE, CKK_DSA), Y(CKA_VALUE, k[5])};
    Attrs pub = {U(CKA_CLASS, CKO_PUBLIC_KEY), U(CKA_KEY_TYPE, CKK_DSA), Y(CKA_VALUE, k[4])};
    priv.insert(priv.end(), domain.begin(), domain.end());
    pub.insert(pub.end(), domain.begin(), domain.end());
    const uint32_t privKey = mustCreate(s, priv);
    const uint32_t pubKey = mustCreate(s, pub);

    const Bytes message = bytesOf("signed with DSA on the device");
    writeBytes(dir.file("msg"), message);
    const size_t qBytes = leftPad(k[2], 0).size();
    for (const auto& [mechanism, digest] :
         {std::pair{CKM_DSA_SHA256, "-sha256"}, std::pair{CKM_DSA_SHA1, "-sha1"}}) {
        SCOPED_TRACE(digest);
        // The device signs, openssl verifies.
        const Bytes rs = sign(s, mech(static_cast<uint32_t>(mechanism)), privKey, message);
        ASSERT_EQ(rs.size(), 2 * qBytes);
        const Bytes r(rs.begin(), rs.begin() + static_cast<long>(qBytes));
        const Bytes sPart(rs.begin() + static_cast<long>(qBytes), rs.end());
        writeBytes(dir.file("sig"), sequence({derInteger(r), derInteger(sPart)}));
        EXPECT_NE(openssl(std::string("dgst ") + digest + " -verify " + dir.file("pub.pem") +
                          " -signature " + dir.file("sig") + " " + dir.file("msg"))
                      .find("Verified OK"),
                  std::string::npos);
        // openssl signs, the device verifies; a changed message fails.
        openssl(std::string("dgst ") + digest + " -sign " + dir.file("key.pem") + " -out " +
                dir.file("osig") + " " + dir.file("msg"));
        const std::vector<Bytes> theirs = integersOf(readBytes(dir.file("osig")));
        ASSERT_EQ(theirs.size(), 2u);
        const Bytes theirRs = concat({leftPad(theirs[0], qBytes), leftPad(theirs[1], qBytes)});
        EXPECT_EQ(verify(s, mech(static_cast<uint32_t>(mechanism)), pubKey, message, theirRs),
                  CKR_OK);
        EXPECT_EQ(
            verify(s, mech(static_cast<uint32_t>(mechanism)), pubKey, bytesOf("other"), theirRs),
            CKR_SIGNATURE_INVALID);
    }
    // Raw DSA signs a hash the caller made.
    const Bytes hash(32, 0xAB);
    const Bytes rs = sign(s, mech(CKM_DSA), privKey, hash);
    EXPECT_EQ(verify(s, mech(CKM_DSA), pubKey, hash, rs), CKR_OK);
    EXPECT_EQ(verify(s, mech(CKM_DSA), pubKey, hash, Bytes(rs.size(), 0)), CKR_SIGNATURE_INVALID);
    EXPECT_EQ(verify(s, mech(CKM_DSA), pubKey, hash, Bytes(3, 1)), CKR_SIGNATURE_LEN_RANGE);
}

TEST_F(KnownAnswers, DsaParametersAndKeysMadeOnTheDeviceSatisfyOpenssl) {
    const uint32_t s = userSession();
    uint32_t params = 0;
    ASSERT_EQ(
        generateKey(s, mech(CKM_DSA_PARAMETER_GEN),
                    {U(CKA_CLASS, CKO_DOMAIN_PARAMETERS), Y(CKA_PRIME_BITS, word(1024))}, &params),
        CKR_OK);
    const Bytes p = value(s, params, CKA_PRIME), q = value(s, params, CKA_SUBPRIME),
                g = value(s, params, CKA_BASE);
    EXPECT_EQ(p.size(), 128u);
    EXPECT_EQ(q.size(), 20u);
    uint32_t pub = 0, priv = 0;
    ASSERT_EQ(generatePair(s, mech(CKM_DSA_KEY_PAIR_GEN),
                           {Y(CKA_PRIME, p), Y(CKA_SUBPRIME, q), Y(CKA_BASE, g)}, {}, &pub, &priv),
              CKR_OK);
    // openssl checks the parameters and the public value, and verifies.
    const Bytes y = value(s, pub, CKA_VALUE);
    writeBytes(dir.file("pub.der"),
               publicKeyInfo(kDsaOid, sequence({derInteger(p), derInteger(q), derInteger(g)}), y));
    openssl("pkey -pubin -inform DER -in " + dir.file("pub.der") + " -out " + dir.file("pub.pem"));
    const Bytes message = bytesOf("device parameters");
    writeBytes(dir.file("msg"), message);
    const Bytes rs = sign(s, mech(CKM_DSA_SHA224), priv, message);
    writeBytes(dir.file("sig"), sequence({derInteger(Bytes(rs.begin(), rs.begin() + 20)),
                                          derInteger(Bytes(rs.begin() + 20, rs.end()))}));
    EXPECT_NE(openssl("dgst -sha224 -verify " + dir.file("pub.pem") + " -signature " +
                      dir.file("sig") + " " + dir.file("msg"))
                  .find("Verified OK"),
              std::string::npos);
    DeviceResponse local = getAttributes(s, params, {CKA_LOCAL});
    ASSERT_EQ(local.attributes.size(), 1u);
    EXPECT_TRUE(local.attributes[0].boolValue);
    // Sizes outside 1024..2048 bits are refused.
    uint32_t h = 0;
    EXPECT_EQ(generateKey(s, mech(CKM_DSA_PARAMETER_GEN),
                          {U(CKA_CLASS, CKO_DOMAIN_PARAMETERS), Y(CKA_PRIME_BITS, word(512))}, &h),
              CKR_ATTRIBUTE_VALUE_INVALID);
}

TEST_F(KnownAnswers, DhAgreesWithOpensslOnAStandardGroup) {
    const uint32_t s = userSession();
    const Bytes p = MBEDTLS_DHM_RFC7919_FFDHE2048_P_BIN;
    const Bytes g = {2};
    uint32_t pub = 0, priv = 0;
    ASSERT_EQ(generatePair(s, mech(CKM_DH_PKCS_KEY_PAIR_GEN), {Y(CKA_PRIME, p), Y(CKA_BASE, g)},
                           {B(CKA_DERIVE, true), Y(CKA_VALUE_BITS, word(256))}, &pub, &priv),
              CKR_OK);
    // The private value has exactly the bits the template asked for.
    EXPECT_EQ(value(s, priv, CKA_VALUE_BITS), word(256));
    const Bytes y = value(s, pub, CKA_VALUE);
    writeBytes(dir.file("dev.der"),
               publicKeyInfo(kDhOid, sequence({derInteger(p), derInteger(g)}), y));
    openssl("pkey -pubin -inform DER -in " + dir.file("dev.der") + " -out " + dir.file("dev.pem"));
    openssl("genpkey -algorithm DH -pkeyopt group:ffdhe2048 -out " + dir.file("peer.pem"));
    openssl("pkey -in " + dir.file("peer.pem") + " -pubout -outform DER -out " +
            dir.file("peer.der"));
    const Bytes spki = readBytes(dir.file("peer.der"));
    // The SPKI ends with the peer's public value, an INTEGER of 2048 bits.
    ASSERT_GT(spki.size(), 260u);
    Bytes peer(spki.end() - 256, spki.end());
    openssl("pkeyutl -derive -inkey " + dir.file("peer.pem") + " -peerkey " + dir.file("dev.pem") +
            " -pkeyopt dh_pad:1 -out " + dir.file("z"));

    DeviceResponse made = derive(s, mech(CKM_DH_PKCS_DERIVE, peer), priv,
                                 {B(CKA_SENSITIVE, false), B(CKA_EXTRACTABLE, true)});
    ASSERT_EQ(made.rv, CKR_OK);
    EXPECT_EQ(value(s, *made.handle, CKA_VALUE), readBytes(dir.file("z")));
    // An AES key takes the leading 32 bytes.
    made = derive(s, mech(CKM_DH_PKCS_DERIVE, peer), priv,
                  {U(CKA_KEY_TYPE, CKK_AES), B(CKA_SENSITIVE, false), B(CKA_EXTRACTABLE, true)});
    ASSERT_EQ(made.rv, CKR_OK);
    const Bytes z = readBytes(dir.file("z"));
    EXPECT_EQ(value(s, *made.handle, CKA_VALUE), Bytes(z.begin(), z.begin() + 32));
    // Public values that would give the secret away are refused.
    for (const Bytes& bad : {Bytes{1}, Bytes{}, p}) {
        EXPECT_EQ(derive(s, mech(CKM_DH_PKCS_DERIVE, bad), priv, {}).rv,
                  CKR_MECHANISM_PARAM_INVALID);
    }
}

TEST_F(KnownAnswers, DerivationByEncryptionIsTheCiphertextOfTheData) {
    const uint32_t s = userSession();
    const Bytes aesValue = bytesOf("0123456789abcdef");
    const uint32_t aes =
        mustCreate(s, {U(CKA_CLASS, CKO_SECRET_KEY), U(CKA_KEY_TYPE, CKK_AES),
                       Y(CKA_VALUE, aesValue), B(CKA_DERIVE, true), B(CKA_EXTRACTABLE, true)});
    const Bytes data = bytesOf("sixteen byte key");
    const Bytes iv(16, 0x5A);
    Bytes ecbParam;
    appendLe32(&ecbParam, 16);
    ecbParam.insert(ecbParam.end(), data.begin(), data.end());
    Bytes cbcParam = iv;
    appendLe32(&cbcParam, 16);
    cbcParam.insert(cbcParam.end(), data.begin(), data.end());
    const Attrs readable = {U(CKA_KEY_TYPE, CKK_AES), B(CKA_SENSITIVE, false),
                            B(CKA_EXTRACTABLE, true)};
    for (const auto& [mechanism, param, cipher] :
         {std::tuple{CKM_AES_ECB_ENCRYPT_DATA, ecbParam, mech(CKM_AES_ECB)},
          std::tuple{CKM_AES_CBC_ENCRYPT_DATA, cbcParam, mech(CKM_AES_CBC, iv)}}) {
        DeviceResponse made =
            derive(s, mech(static_cast<uint32_t>(mechanism), param), aes, readable);
        ASSERT_EQ(made.rv, CKR_OK);
        EXPECT_EQ(value(s, *made.handle, CKA_VALUE), encrypt(s, cipher, aes, data));
    }
    // A parameter whose stated length disagrees with its data is refused.
    Bytes wrong = ecbParam;
    wrong[0] = 15;
    EXPECT_EQ(derive(s, mech(CKM_AES_ECB_ENCRYPT_DATA, wrong), aes, readable).rv,
              CKR_MECHANISM_PARAM_INVALID);
}

TEST_F(KnownAnswers, KeyHistoryFollowsHowTheKeyCameToBe) {
    const uint32_t s = userSession();
    const Attrs flags = {B(CKA_SENSITIVE, true), B(CKA_EXTRACTABLE, false), B(CKA_DERIVE, true)};
    const uint32_t generated = secretKey(s, CKM_AES_KEY_GEN, 16);
    Attrs createTemplate = {U(CKA_CLASS, CKO_SECRET_KEY), U(CKA_KEY_TYPE, CKK_AES),
                            Y(CKA_VALUE, Bytes(16, 3))};
    createTemplate.insert(createTemplate.end(), flags.begin(), flags.end());
    const uint32_t created = mustCreate(s, createTemplate);
    Attrs derivedTemplate = {U(CKA_KEY_TYPE, CKK_AES)};
    derivedTemplate.insert(derivedTemplate.end(), flags.begin(), flags.end());
    Bytes param;
    appendLe32(&param, 16);
    param.insert(param.end(), 16, 7);
    uint32_t generatedBase = 0;
    ASSERT_EQ(generateKey(s, mech(CKM_AES_KEY_GEN), {U(CKA_VALUE_LEN, 16), B(CKA_DERIVE, true)},
                          &generatedBase),
              CKR_OK);
    const DeviceResponse fromGenerated =
        derive(s, mech(CKM_AES_ECB_ENCRYPT_DATA, param), generatedBase, derivedTemplate);
    const DeviceResponse fromCreated =
        derive(s, mech(CKM_AES_ECB_ENCRYPT_DATA, param), created, derivedTemplate);
    ASSERT_EQ(fromGenerated.rv, CKR_OK);
    ASSERT_EQ(fromCreated.rv, CKR_OK);

    struct Case {
        const char* what;
        uint32_t key;
        bool local, alwaysSensitive, neverExtractable;
    };
    const Case cases[] = {
        {"generated", generated, true, true, true},
        {"created", created, false, false, false},
        {"derived from a generated key", *fromGenerated.handle, false, true, true},
        {"derived from a created key", *fromCreated.handle, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const DeviceResponse r = getAttributes(
            s, c.key,
            {CKA_LOCAL, CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE, CKA_KEY_GEN_MECHANISM});
        ASSERT_EQ(r.attributes.size(), 4u);
        EXPECT_EQ(r.attributes[0].boolValue, c.local);
        EXPECT_EQ(r.attributes[1].boolValue, c.alwaysSensitive);
        EXPECT_EQ(r.attributes[2].boolValue, c.neverExtractable);
        EXPECT_EQ(r.attributes[3].ulongValue,
                  c.local ? uint32_t{CKM_AES_KEY_GEN} : 0xFFFFFFFFu);  // unavailable
    }
}

}  // namespace
}  // namespace vexa::sim::test
