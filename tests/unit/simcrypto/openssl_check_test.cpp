// The device's cryptography checked by an independent implementation, the
// openssl command line: signatures made on the device verify with the
// public key read back through C_GetAttributeValue, openssl's ciphertexts
// decrypt on the device and the other way round, and both sides of an ECDH
// agree.
#include <mbedtls/pk.h>

#include "device_fixture.h"
#include "test_support.h"

namespace vexa::sim::test {
namespace {

std::string hexText(const Bytes& b) {
    return toHex(b);
}

// A public key as PEM, from the attributes the device reports.
std::string rsaPublicPem(const Bytes& modulus, const Bytes& exponent) {
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    std::string pem;
    unsigned char buf[4096];
    if (mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA)) == 0 &&
        mbedtls_rsa_import_raw(mbedtls_pk_rsa(pk), modulus.data(), modulus.size(), nullptr, 0,
                               nullptr, 0, nullptr, 0, exponent.data(), exponent.size()) == 0 &&
        mbedtls_rsa_complete(mbedtls_pk_rsa(pk)) == 0 &&
        mbedtls_pk_write_pubkey_pem(&pk, buf, sizeof buf) == 0) {
        pem = reinterpret_cast<const char*>(buf);
    }
    mbedtls_pk_free(&pk);
    return pem;
}

std::string ecPublicPem(mbedtls_ecp_group_id group, const Bytes& derPoint) {
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    std::string pem;
    unsigned char buf[2048];
    const size_t header = derPoint.size() > 129 ? 3 : 2;  // the OCTET STRING's tag and length
    if (mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_ECKEY)) == 0 &&
        mbedtls_ecp_group_load(&mbedtls_pk_ec(pk)->grp, group) == 0 &&
        mbedtls_ecp_point_read_binary(&mbedtls_pk_ec(pk)->grp, &mbedtls_pk_ec(pk)->Q,
                                      derPoint.data() + header, derPoint.size() - header) == 0 &&
        mbedtls_pk_write_pubkey_pem(&pk, buf, sizeof buf) == 0) {
        pem = reinterpret_cast<const char*>(buf);
    }
    mbedtls_pk_free(&pk);
    return pem;
}

// r || s as the DER SEQUENCE of two INTEGERs that openssl expects.
Bytes ecdsaDer(const Bytes& rs) {
    auto integer = [](const uint8_t* p, size_t n) {
        while (n > 1 && *p == 0) {
            ++p;
            --n;
        }
        Bytes out{0x02};
        const bool pad = (*p & 0x80) != 0;
        out.push_back(static_cast<uint8_t>(n + (pad ? 1 : 0)));
        if (pad) {
            out.push_back(0);
        }
        out.insert(out.end(), p, p + n);
        return out;
    };
    const size_t half = rs.size() / 2;
    Bytes body = integer(rs.data(), half);
    const Bytes s = integer(rs.data() + half, half);
    body.insert(body.end(), s.begin(), s.end());
    Bytes out{0x30};
    if (body.size() >= 0x80) {
        out.push_back(0x81);
    }
    out.push_back(static_cast<uint8_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

void writeText(const std::string& path, const std::string& text) {
    writeBytes(path, Bytes(text.begin(), text.end()));
}

class OpensslCheck : public DeviceTest {
protected:
    TempDir dir;
};

TEST_F(OpensslCheck, RsaSignaturesVerifyAndOpensslCiphertextsDecrypt) {
    const uint32_t s = userSession();
    uint32_t pub = 0, priv = 0;
    rsaPair(s, 2048, &pub, &priv);
    const std::string pem =
        rsaPublicPem(value(s, pub, CKA_MODULUS), value(s, pub, CKA_PUBLIC_EXPONENT));
    ASSERT_FALSE(pem.empty());
    writeText(dir.file("pub.pem"), pem);
    const Bytes message = bytesOf("signed on the virtual device");
    writeBytes(dir.file("msg"), message);

    struct Case {
        const char* what;
        DeviceMechanism mechanism;
        const char* options;
    };
    Bytes pss;
    for (uint32_t v : {uint32_t{CKM_SHA256}, uint32_t{CKG_MGF1_SHA256}, uint32_t{32}}) {
        appendLe32(&pss, v);
    }
    const Case cases[] = {
        {"PKCS#1 v1.5", mech(CKM_SHA256_RSA_PKCS), "-sha256"},
        {"PSS", mech(CKM_SHA256_RSA_PKCS_PSS, pss),
         "-sha256 -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32"},
        {"SHA-512 PKCS#1 v1.5", mech(CKM_SHA512_RSA_PKCS), "-sha512"},
    };
    for (const Case& c : cases) {
        writeBytes(dir.file("sig"), sign(s, c.mechanism, priv, message));
        EXPECT_NE(openssl(std::string("dgst ") + c.options + " -verify " + dir.file("pub.pem") +
                          " -signature " + dir.file("sig") + " " + dir.file("msg"))
                      .find("Verified OK"),
                  std::string::npos)
            << c.what;
    }

    DeviceMechanism oaep = mech(CKM_RSA_PKCS_OAEP);
    oaep.parameter.reset();
    oaep.parameterLength.reset();
    oaep.oaep =
        OaepParameters{CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, std::nullopt, std::nullopt};
    const struct {
        DeviceMechanism mechanism;
        const char* options;
    } ciphers[] = {
        {mech(CKM_RSA_PKCS), "-pkeyopt rsa_padding_mode:pkcs1"},
        {oaep,
         "-pkeyopt rsa_padding_mode:oaep -pkeyopt rsa_oaep_md:sha256 -pkeyopt rsa_mgf1_md:sha256"},
    };
    const Bytes secret = bytesOf("a secret for the device only");
    writeBytes(dir.file("secret"), secret);
    for (const auto& c : ciphers) {
        openssl(std::string("pkeyutl -encrypt -pubin -inkey ") + dir.file("pub.pem") + " " +
                c.options + " -in " + dir.file("secret") + " -out " + dir.file("ct"));
        EXPECT_EQ(decrypt(s, c.mechanism, priv, readBytes(dir.file("ct"))), secret) << c.options;
    }
}

TEST_F(OpensslCheck, EcdsaSignaturesVerifyOnEveryCurve) {
    const uint32_t s = userSession();
    const struct {
        const Bytes& params;
        mbedtls_ecp_group_id group;
    } curves[] = {{kP256, MBEDTLS_ECP_DP_SECP256R1},
                  {kP384, MBEDTLS_ECP_DP_SECP384R1},
                  {kP521, MBEDTLS_ECP_DP_SECP521R1}};
    const Bytes message = bytesOf("ecdsa on the virtual device");
    writeBytes(dir.file("msg"), message);
    for (const auto& c : curves) {
        uint32_t pub = 0, priv = 0;
        ecPair(s, c.params, &pub, &priv);
        const std::string pem = ecPublicPem(c.group, value(s, pub, CKA_EC_POINT));
        ASSERT_FALSE(pem.empty());
        writeText(dir.file("pub.pem"), pem);
        // The module's CKM_ECDSA takes a hash; openssl hashes the message.
        ASSERT_EQ(opInit(F::DigestInit, s, mech(CKM_SHA256), 0), CKR_OK);
        ASSERT_EQ(step(F::DigestUpdate, s, &message).rv, CKR_OK);
        const Bytes hash = mustFinal(F::DigestFinal, s);
        const Bytes rs = sign(s, mech(CKM_ECDSA), priv, hash);
        writeBytes(dir.file("sig"), ecdsaDer(rs));
        EXPECT_NE(openssl("dgst -sha256 -verify " + dir.file("pub.pem") + " -signature " +
                          dir.file("sig") + " " + dir.file("msg"))
                      .find("Verified OK"),
                  std::string::npos);
    }
}

TEST_F(OpensslCheck, AesHmacAndEcdhAgreeWithOpenssl) {
    const uint32_t s = userSession();
    const Bytes key = bytesOf("0123456789abcdef0123456789abcdef");
    const Bytes iv(16, 0x24);
    const uint32_t aes =
        mustCreate(s, {U(CKA_CLASS, CKO_SECRET_KEY), U(CKA_KEY_TYPE, CKK_AES), Y(CKA_VALUE, key)});
    const Bytes plain = bytesOf("forty-one bytes of plaintext for openssl");
    writeBytes(dir.file("ct"), encrypt(s, mech(CKM_AES_CBC_PAD, iv), aes, plain));
    openssl("enc -d -aes-256-cbc -K " + hexText(key) + " -iv " + hexText(iv) + " -in " +
            dir.file("ct") + " -out " + dir.file("pt"));
    EXPECT_EQ(readBytes(dir.file("pt")), plain);

    const uint32_t mac = mustCreate(
        s, {U(CKA_CLASS, CKO_SECRET_KEY), U(CKA_KEY_TYPE, CKK_GENERIC_SECRET), Y(CKA_VALUE, key)});
    writeBytes(dir.file("msg"), plain);
    const std::string line =
        openssl("dgst -sha256 -mac HMAC -macopt hexkey:" + hexText(key) + " -r " + dir.file("msg"));
    EXPECT_EQ(line.substr(0, 64), hexText(sign(s, mech(CKM_SHA256_HMAC), mac, plain)));

    // ECDH between a device key and an openssl key.
    uint32_t pub = 0, priv = 0;
    ecPair(s, kP256, &pub, &priv, {B(CKA_DERIVE, true)});
    writeText(dir.file("dev.pem"),
              ecPublicPem(MBEDTLS_ECP_DP_SECP256R1, value(s, pub, CKA_EC_POINT)));
    openssl("genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + dir.file("peer.pem"));
    openssl("pkey -in " + dir.file("peer.pem") + " -pubout -outform DER -out " +
            dir.file("peer.der"));
    const Bytes spki = readBytes(dir.file("peer.der"));
    ASSERT_GE(spki.size(), 65u);
    const Bytes peerPoint(spki.end() - 65, spki.end());  // the SPKI ends with 04 || X || Y
    openssl("pkeyutl -derive -inkey " + dir.file("peer.pem") + " -peerkey " + dir.file("dev.pem") +
            " -out " + dir.file("z"));

    DeviceRequest derive = req(F::DeriveKey, s);
    derive.mechanism = mech(CKM_ECDH1_DERIVE);
    derive.mechanism->parameter.reset();
    derive.mechanism->parameterLength.reset();
    derive.mechanism->ecdh = Ecdh1DeriveParameters{CKD_NULL, std::nullopt, peerPoint};
    derive.object = priv;
    derive.templ = {B(CKA_SENSITIVE, false), B(CKA_EXTRACTABLE, true)};
    DeviceResponse r = call(derive);
    ASSERT_EQ(r.rv, CKR_OK);
    EXPECT_EQ(value(s, *r.handle, CKA_VALUE), readBytes(dir.file("z")));
}

}  // namespace
}  // namespace vexa::sim::test
