// The symmetric primitives of the crypto engine against published vectors:
// RFC 3394 key wrap, and CBC and CTR from NIST SP 800-38A, in one piece and
// cut into awkward parts; CBC padding, DES3 against mbedTLS's own CBC.
#include <p11-kit/pkcs11.h>

#include <gtest/gtest.h>

#include <mbedtls/des.h>

#include "sim/crypto/aes_kw.h"
#include "sim/crypto/cipher_modes.h"
#include "sim/objects/bytes.h"

namespace vexa::sim::crypto {
namespace {

Bytes hex(const std::string& s) {
    std::string clean;
    for (char c : s) {
        if (c != ' ') {
            clean.push_back(c);
        }
    }
    Bytes out;
    EXPECT_TRUE(fromHex(clean, &out)) << s;
    return out;
}

std::shared_ptr<const BlockCipher> aes(const Bytes& key) {
    std::shared_ptr<const BlockCipher> c;
    EXPECT_EQ(BlockCipher::create(BlockCipher::Kind::Aes, key, &c), CKR_OK);
    return c;
}

struct KwVector {
    const char* kek;
    const char* data;
    const char* wrapped;
};

// RFC 3394, section 4.
const KwVector kKwVectors[] = {
    {"000102030405060708090A0B0C0D0E0F", "00112233445566778899AABBCCDDEEFF",
     "1FA68B0A8112B447 AEF34BD8FB5A7B82 9D3E862371D2CFE5"},
    {"000102030405060708090A0B0C0D0E0F1011121314151617", "00112233445566778899AABBCCDDEEFF",
     "96778B25AE6CA435 F92B5B97C050AED2 468AB8A17AD84E5D"},
    {"000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
     "00112233445566778899AABBCCDDEEFF", "64E8C3F9CE0F5BA2 63E9777905818A2A 93C8191E7D6E8AE7"},
    {"000102030405060708090A0B0C0D0E0F1011121314151617",
     "00112233445566778899AABBCCDDEEFF0001020304050607",
     "031D33264E15D332 68F24EC260743EDC E1C6C7DDEE725A93 6BA814915C6762D2"},
    {"000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
     "00112233445566778899AABBCCDDEEFF0001020304050607",
     "A8F9BC1612C68B3F F6E6F4FBE30E71E4 769C8B80A32CB895 8CD5D17D6B254DA1"},
    {"000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
     "00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F",
     "28C9F404C4B810F4 CBCCB35CFB87F826 3F5786E2D80ED326 CBC7F0E71A99F43B FB988B9B7A02DD21"},
};

TEST(AesKeyWrap, MatchesTheRfc3394Vectors) {
    for (const KwVector& v : kKwVectors) {
        auto kek = aes(hex(v.kek));
        Bytes wrapped, unwrapped;
        ASSERT_EQ(aesKeyWrap(*kek, kDefaultKwIv, hex(v.data), &wrapped), CKR_OK);
        EXPECT_EQ(wrapped, hex(v.wrapped)) << v.kek;
        ASSERT_EQ(aesKeyUnwrap(*kek, kDefaultKwIv, wrapped, &unwrapped), CKR_OK);
        EXPECT_EQ(unwrapped, hex(v.data));
    }
}

TEST(AesKeyWrap, RefusesTamperedDataAndImpossibleLengths) {
    const KwVector& v = kKwVectors[0];
    auto kek = aes(hex(v.kek));
    Bytes out;
    for (size_t i = 0; i < 24; i += 7) {
        Bytes tampered = hex(v.wrapped);
        tampered[i] ^= 0x01;
        EXPECT_EQ(aesKeyUnwrap(*kek, kDefaultKwIv, tampered, &out), CKR_ENCRYPTED_DATA_INVALID);
    }
    const uint8_t otherIv[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(aesKeyUnwrap(*kek, otherIv, hex(v.wrapped), &out), CKR_ENCRYPTED_DATA_INVALID);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(aesKeyWrap(*kek, kDefaultKwIv, Bytes(8), &out), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(aesKeyWrap(*kek, kDefaultKwIv, Bytes(20), &out), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(aesKeyUnwrap(*kek, kDefaultKwIv, Bytes(16), &out), CKR_ENCRYPTED_DATA_LEN_RANGE);
    EXPECT_EQ(aesKeyUnwrap(*kek, kDefaultKwIv, Bytes(25), &out), CKR_ENCRYPTED_DATA_LEN_RANGE);
}

const char* kSpKey = "2b7e151628aed2a6abf7158809cf4f3c";
const char* kSpPlain =
    "6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710";

// Runs a whole operation with the input cut into parts of `partSize`.
Bytes runInParts(CipherOperation& op, const Bytes& in, size_t partSize) {
    Bytes out, piece;
    for (size_t off = 0; off < in.size(); off += partSize) {
        const size_t n = std::min(partSize, in.size() - off);
        EXPECT_EQ(op.run(Step::Update, ByteView(in.data() + off, n), &piece), CKR_OK);
        EXPECT_LE(piece.size(), op.maxOutput(Step::Update, 0) + partSize + 16);
        out.insert(out.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(op.run(Step::Final, ByteView(), &piece), CKR_OK);
    out.insert(out.end(), piece.begin(), piece.end());
    return out;
}

struct ModeVector {
    Mode mode;
    const char* iv;
    uint32_t counterBits;
    const char* cipher;
};
const ModeVector kModeVectors[] = {
    {Mode::Cbc, "000102030405060708090a0b0c0d0e0f", 0,
     "7649abac8119b246cee98e9b12e9197d 5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e22229516 3ff1caa1681fac09120eca307586e1a7"},
    {Mode::Ctr, "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff", 128,
     "874d6191b620e3261bef6864990db6ce 9806f66b7970fdff8617187bb9fffdff"
     "5ae4df3edbd5d35e5b4f09020db03eab 1e031dda2fbe03d1792170a0f3009cee"},
};

TEST(BlockModes, MatchSp800_38aInOnePieceAndInParts) {
    for (const ModeVector& v : kModeVectors) {
        for (size_t part : {size_t{64}, size_t{1}, size_t{7}, size_t{16}, size_t{33}}) {
            auto enc = makeBlockMode(aes(hex(kSpKey)), v.mode, true, hex(v.iv), v.counterBits);
            auto dec = makeBlockMode(aes(hex(kSpKey)), v.mode, false, hex(v.iv), v.counterBits);
            EXPECT_EQ(runInParts(*enc, hex(kSpPlain), part), hex(v.cipher)) << part;
            EXPECT_EQ(runInParts(*dec, hex(v.cipher), part), hex(kSpPlain)) << part;
        }
        auto single = makeBlockMode(aes(hex(kSpKey)), v.mode, true, hex(v.iv), v.counterBits);
        Bytes out;
        ASSERT_EQ(single->run(Step::Single, hex(kSpPlain), &out), CKR_OK);
        EXPECT_EQ(out, hex(v.cipher));
    }
}

TEST(BlockModes, CbcPadRoundTripsEveryLengthAndRefusesBadPadding) {
    const Bytes iv(16, 0x42);
    for (size_t n = 0; n <= 40; ++n) {
        Bytes plain(n, static_cast<uint8_t>(n));
        auto enc = makeBlockMode(aes(hex(kSpKey)), Mode::CbcPad, true, iv, 0);
        auto dec = makeBlockMode(aes(hex(kSpKey)), Mode::CbcPad, false, iv, 0);
        const Bytes cipher = runInParts(*enc, plain, 5);
        EXPECT_EQ(cipher.size(), (n / 16 + 1) * 16);
        EXPECT_EQ(runInParts(*dec, cipher, 3), plain) << n;
    }
    // Last blocks whose padding is impossible: 0, more than a block, and
    // padding bytes that disagree.
    Bytes endsInTwo(16, 0x00);
    endsInTwo[14] = 0x01;
    endsInTwo[15] = 0x02;
    Bytes out;
    auto dec = makeBlockMode(aes(hex(kSpKey)), Mode::CbcPad, false, iv, 0);
    for (const Bytes& last : {Bytes(16, 0x00), Bytes(16, 0x11), endsInTwo}) {
        auto enc = makeBlockMode(aes(hex(kSpKey)), Mode::Cbc, true, iv, 0);
        Bytes bad;
        ASSERT_EQ(enc->run(Step::Single, last, &bad), CKR_OK);
        EXPECT_EQ(dec->run(Step::Single, bad, &out), CKR_ENCRYPTED_DATA_INVALID);
    }
    EXPECT_EQ(dec->run(Step::Single, Bytes(15), &out), CKR_ENCRYPTED_DATA_LEN_RANGE);
}

TEST(BlockModes, UnpaddedModesRefuseAPartialBlockAtTheEnd) {
    auto ecb = makeBlockMode(aes(hex(kSpKey)), Mode::Ecb, true, ByteView(), 0);
    Bytes out;
    EXPECT_EQ(ecb->run(Step::Update, Bytes(20), &out), CKR_OK);
    EXPECT_EQ(out.size(), 16u);
    EXPECT_EQ(ecb->run(Step::Final, ByteView(), &out), CKR_DATA_LEN_RANGE);
    auto cbc = makeBlockMode(aes(hex(kSpKey)), Mode::Cbc, false, Bytes(16), 0);
    EXPECT_EQ(cbc->run(Step::Single, Bytes(17), &out), CKR_ENCRYPTED_DATA_LEN_RANGE);
}

TEST(BlockModes, CtrNeverReusesACounterValue) {
    // Two counter bits: four blocks of keystream, then the counter would wrap.
    auto ctr = makeBlockMode(aes(hex(kSpKey)), Mode::Ctr, true, Bytes(16), 2);
    Bytes out;
    EXPECT_EQ(ctr->run(Step::Update, Bytes(64), &out), CKR_OK);
    EXPECT_EQ(ctr->run(Step::Update, Bytes(1), &out), CKR_DATA_LEN_RANGE);
}

TEST(BlockModes, AFailedStepLeavesTheStateAsItWasAndCloneContinuesAlone) {
    auto op = makeBlockMode(aes(hex(kSpKey)), Mode::Cbc, true, Bytes(16), 0);
    Bytes a, b;
    ASSERT_EQ(op->run(Step::Update, Bytes(10, 1), &a), CKR_OK);
    auto copy = op->clone();
    ASSERT_EQ(copy->run(Step::Update, Bytes(6, 2), &a), CKR_OK);
    ASSERT_EQ(op->run(Step::Update, Bytes(6, 2), &b), CKR_OK);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.size(), 16u);
}

TEST(BlockModes, Des3CbcMatchesMbedtls) {
    const Bytes key = hex("0123456789abcdef23456789abcdef01456789abcdef0123");
    const Bytes iv = hex("1234567890abcdef");
    Bytes plain(40);
    for (size_t i = 0; i < plain.size(); ++i) {
        plain[i] = static_cast<uint8_t>(i * 7);
    }
    std::shared_ptr<const BlockCipher> des;
    ASSERT_EQ(BlockCipher::create(BlockCipher::Kind::Des3, key, &des), CKR_OK);
    auto op = makeBlockMode(des, Mode::Cbc, true, iv, 0);
    const Bytes ours = runInParts(*op, plain, 11);

    mbedtls_des3_context ctx;
    mbedtls_des3_init(&ctx);
    ASSERT_EQ(mbedtls_des3_set3key_enc(&ctx, key.data()), 0);
    Bytes theirs(plain.size());
    Bytes ivCopy = iv;
    ASSERT_EQ(mbedtls_des3_crypt_cbc(&ctx, MBEDTLS_DES_ENCRYPT, plain.size(), ivCopy.data(),
                                     plain.data(), theirs.data()),
              0);
    mbedtls_des3_free(&ctx);
    EXPECT_EQ(ours, theirs);

    std::shared_ptr<const BlockCipher> bad;
    EXPECT_EQ(BlockCipher::create(BlockCipher::Kind::Des3, Bytes(8), &bad), CKR_KEY_SIZE_RANGE);
    EXPECT_EQ(BlockCipher::create(BlockCipher::Kind::Des, Bytes(16), &bad), CKR_KEY_SIZE_RANGE);
    EXPECT_EQ(BlockCipher::create(BlockCipher::Kind::Aes, Bytes(20), &bad), CKR_KEY_SIZE_RANGE);
}

}  // namespace
}  // namespace vexa::sim::crypto
