#include "sim/crypto/engine.h"

#include <p11-kit/pkcs11.h>

#include <optional>

#include "sim/crypto/aes_kw.h"
#include "sim/crypto/cipher_modes.h"
#include "sim/crypto/dsa_dh_ops.h"
#include "sim/crypto/ec_ops.h"
#include "sim/crypto/mac_ops.h"
#include "sim/crypto/rsa_ops.h"

namespace vexa::sim::crypto {
namespace {

struct UsageRule {
    OpFlag op;
    uint32_t attribute;
    bool privateHalf;  // asymmetric keys: the private key serves it
};
constexpr UsageRule kUsage[] = {
    {kOpEncrypt, CKA_ENCRYPT, false}, {kOpDecrypt, CKA_DECRYPT, true},
    {kOpSign, CKA_SIGN, true},        {kOpVerify, CKA_VERIFY, false},
    {kOpWrap, CKA_WRAP, false},       {kOpUnwrap, CKA_UNWRAP, true},
    {kOpDerive, CKA_DERIVE, true},
};

bool asymmetric(uint32_t keyType) {
    return keyType == CKK_RSA || keyType == CKK_EC || keyType == CKK_DSA || keyType == CKK_DH;
}

// Two-key triple DES serves the triple-DES mechanisms.
bool keyTypeServes(uint32_t keyType, uint32_t wanted) {
    return keyType == wanted || (wanted == CKK_DES3 && keyType == CKK_DES2);
}

struct BlockModeInfo {
    Family family;
    BlockCipher::Kind kind;
    Mode mode;
};
constexpr BlockModeInfo kBlockModes[] = {
    {Family::AesEcb, BlockCipher::Kind::Aes, Mode::Ecb},
    {Family::AesCbc, BlockCipher::Kind::Aes, Mode::Cbc},
    {Family::AesCbcPad, BlockCipher::Kind::Aes, Mode::CbcPad},
    {Family::AesCtr, BlockCipher::Kind::Aes, Mode::Ctr},
    {Family::Des3Ecb, BlockCipher::Kind::Des3, Mode::Ecb},
    {Family::Des3Cbc, BlockCipher::Kind::Des3, Mode::Cbc},
    {Family::Des3CbcPad, BlockCipher::Kind::Des3, Mode::CbcPad},
    {Family::DesEcb, BlockCipher::Kind::Des, Mode::Ecb},
    {Family::DesCbc, BlockCipher::Kind::Des, Mode::Cbc},
    {Family::DesCbcPad, BlockCipher::Kind::Des, Mode::CbcPad},
};

Rv makeBlockCipher(const BlockModeInfo& info, const DeviceMechanism& dm, const Object& key,
                   bool encrypt, std::unique_ptr<CipherOperation>* out) {
    const Bytes* value = key.get(CKA_VALUE);
    std::shared_ptr<const BlockCipher> cipher;
    Rv rv = BlockCipher::create(info.kind, value ? ByteView(*value) : ByteView(), &cipher);
    if (rv != CKR_OK) {
        return rv;
    }
    const Bytes& p = parameterOf(dm);
    const size_t bs = cipher->blockSize();
    ByteView iv;
    uint32_t counterBits = 0;
    switch (info.mode) {
        case Mode::Ecb:
            if (!p.empty()) {
                return CKR_MECHANISM_PARAM_INVALID;
            }
            break;
        case Mode::Cbc:
        case Mode::CbcPad:
            if (p.size() != bs) {
                return CKR_MECHANISM_PARAM_INVALID;
            }
            iv = ByteView(p);
            break;
        case Mode::Ctr: {
            // CK_AES_CTR_PARAMS: ulCounterBits, then the 16-byte counter block.
            if (!readUlongs(p, 1, bs, &counterBits) || counterBits == 0 || counterBits > bs * 8) {
                return CKR_MECHANISM_PARAM_INVALID;
            }
            iv = ByteView(p.data() + 4, bs);
            break;
        }
    }
    *out = makeBlockMode(std::move(cipher), info.mode, encrypt, iv, counterBits);
    return CKR_OK;
}

Rv makeKeyWrap(const DeviceMechanism& dm, const Object& key, bool encrypt,
               std::unique_ptr<CipherOperation>* out) {
    const Bytes* value = key.get(CKA_VALUE);
    std::shared_ptr<const BlockCipher> cipher;
    const Rv rv =
        BlockCipher::create(BlockCipher::Kind::Aes, value ? ByteView(*value) : ByteView(), &cipher);
    if (rv != CKR_OK) {
        return rv;
    }
    // An optional 8-byte initial value replaces the default one.
    const Bytes& p = parameterOf(dm);
    if (!p.empty() && p.size() != 8) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    *out = makeKeyWrapCipher(std::move(cipher), encrypt, p.empty() ? kDefaultKwIv : p.data());
    return CKR_OK;
}

// Before an operation of a key with CKA_ALWAYS_AUTHENTICATE yields output.
bool loginOk(bool needsLogin, const bool* contextLogin) {
    return !needsLogin || (contextLogin != nullptr && *contextLogin);
}

template <class Slot>
void consumeLogin(Slot& slot, bool* contextLogin) {
    if (slot.needsLogin && contextLogin != nullptr) {
        *contextLogin = false;
    }
    slot.needsLogin = false;
}

}  // namespace

Rv checkKey(const Object* key, const MechanismInfo& m, OpFlag op) {
    if (key == nullptr) {
        return CKR_KEY_HANDLE_INVALID;
    }
    const uint32_t cls = key->objectClass();
    if (cls != CKO_SECRET_KEY && cls != CKO_PUBLIC_KEY && cls != CKO_PRIVATE_KEY) {
        return CKR_KEY_HANDLE_INVALID;
    }
    if (!keyTypeServes(key->keyType(), m.keyType)) {
        return CKR_KEY_TYPE_INCONSISTENT;
    }
    for (const UsageRule& u : kUsage) {
        if (u.op != op) {
            continue;
        }
        const uint32_t wanted = !asymmetric(m.keyType) ? CKO_SECRET_KEY
                                : u.privateHalf        ? CKO_PRIVATE_KEY
                                                       : CKO_PUBLIC_KEY;
        if (cls != wanted) {
            return CKR_KEY_TYPE_INCONSISTENT;
        }
        if (!key->flag(u.attribute, false)) {
            return CKR_KEY_FUNCTION_NOT_PERMITTED;
        }
        return CKR_OK;
    }
    return CKR_KEY_FUNCTION_NOT_PERMITTED;
}

Rv makeCipher(const MechanismInfo& m, const DeviceMechanism& dm, const Object& key, bool encrypt,
              Rng rng, std::unique_ptr<CipherOperation>* out) {
    for (const BlockModeInfo& info : kBlockModes) {
        if (info.family == m.family) {
            return makeBlockCipher(info, dm, key, encrypt, out);
        }
    }
    switch (m.family) {
        case Family::AesKeyWrap:
            return makeKeyWrap(dm, key, encrypt, out);
        case Family::RsaPkcs:
        case Family::RsaX509:
        case Family::RsaOaep:
            return makeRsaCipher(m, dm, key, encrypt, rng, out);
        default:
            return CKR_MECHANISM_INVALID;
    }
}

Rv makeSigner(const MechanismInfo& m, const DeviceMechanism& dm, const Object& key, bool sign,
              Rng rng, std::unique_ptr<SignOperation>* out) {
    switch (m.family) {
        case Family::Hmac:
        case Family::Cmac:
            return makeMacSigner(m, key, out);
        case Family::Ecdsa:
        case Family::EcdsaHash:
            return makeEcdsaSigner(m, key, sign, rng, out);
        case Family::Dsa:
        case Family::DsaHash:
            return makeDsaSigner(m, key, sign, rng, out);
        case Family::RsaPkcs:
        case Family::RsaX509:
        case Family::RsaPss:
        case Family::RsaPkcsHash:
        case Family::RsaPssHash:
            return makeRsaSigner(m, dm, key, sign, rng, out);
        default:
            return CKR_MECHANISM_INVALID;
    }
}

namespace {

// Starts a keyed operation in its slot: the mechanism must serve `op` and
// the key must allow it, then `make(mechanism, &operation)` builds it. When
// the private half of the key does the work (`privateUse`: decryption,
// signing) and the key asks for it (CKA_ALWAYS_AUTHENTICATE), each use
// needs a context-specific login first.
template <class Op, class Make>
Rv startKeyed(OperationSlot<Op>& slot, OpFlag op, const DeviceMechanism& dm, const Object* key,
              bool privateUse, Make make) {
    if (slot.active()) {
        return CKR_OPERATION_ACTIVE;
    }
    const MechanismInfo* m = nullptr;
    Rv rv = mechanismFor(dm.type, op, &m);
    if (rv == CKR_OK) {
        rv = checkKey(key, *m, op);
    }
    std::unique_ptr<Op> operation;
    if (rv == CKR_OK) {
        rv = make(*m, &operation);
    }
    if (rv != CKR_OK) {
        return rv;
    }
    slot.start(std::move(operation));
    slot.needsLogin = privateUse && key->flag(CKA_ALWAYS_AUTHENTICATE, false);
    return CKR_OK;
}

// An output whose length is known before it is made (a signature, a
// digest): the length is always stated; a size query (CKR_OK) or a capacity
// that is too small (CKR_BUFFER_TOO_SMALL) is answered here and leaves the
// operation running. nullopt: the caller makes the output.
std::optional<Rv> answerBySize(size_t length, const OutputSpec& wanted, Output* out) {
    out->length = static_cast<uint32_t>(length);
    if (wanted.lengthOnly) {
        return CKR_OK;
    }
    if (!wanted.fits(length)) {
        return CKR_BUFFER_TOO_SMALL;
    }
    return std::nullopt;
}

}  // namespace

// ---- encryption and decryption --------------------------------------------

Rv cipherInit(CipherSlot& slot, bool encrypt, const DeviceMechanism& dm, const Object* key,
              Rng rng) {
    return startKeyed(slot, encrypt ? kOpEncrypt : kOpDecrypt, dm, key, !encrypt,
                      [&](const MechanismInfo& m, std::unique_ptr<CipherOperation>* out) {
                          return makeCipher(m, dm, *key, encrypt, rng, out);
                      });
}

Rv cipherStep(CipherSlot& slot, Step step, ByteView in, const OutputSpec& wanted, Output* out,
              bool* contextLogin) {
    if (!slot.active()) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    // A single-part call and updates do not mix: once one kind has been
    // used (a single-part size query included), the other ends the
    // operation.
    if ((step == Step::Single && slot.updated) || (step != Step::Single && slot.single)) {
        slot.end();
        return CKR_OPERATION_ACTIVE;
    }
    const size_t bound = slot.op->maxOutput(step, in.size);
    if (wanted.lengthOnly) {
        slot.single = step == Step::Single;
        out->length = static_cast<uint32_t>(bound);
        return CKR_OK;
    }
    if (!loginOk(slot.needsLogin, contextLogin)) {
        slot.end();
        return CKR_USER_NOT_LOGGED_IN;
    }
    // When the output may not fit, the step runs on a copy: the operation
    // must survive a CKR_BUFFER_TOO_SMALL unchanged.
    std::unique_ptr<CipherOperation> trial;
    CipherOperation* runner = slot.op.get();
    if (!wanted.fits(bound)) {
        trial = slot.op->clone();
        runner = trial.get();
    }
    Bytes result;
    const Rv rv = runner->run(step, in, &result);
    if (rv != CKR_OK) {
        slot.end();
        return rv;
    }
    out->length = static_cast<uint32_t>(result.size());
    if (!wanted.fits(result.size())) {
        wipe(&result);
        slot.single = step == Step::Single;
        return CKR_BUFFER_TOO_SMALL;
    }
    if (trial) {
        slot.op = std::move(trial);
    }
    consumeLogin(slot, contextLogin);
    out->data = std::move(result);
    if (step == Step::Update) {
        slot.updated = true;
    } else {
        slot.end();
    }
    return CKR_OK;
}

// ---- signing and verification ---------------------------------------------

Rv signInit(SignSlot& slot, bool sign, const DeviceMechanism& dm, const Object* key, Rng rng) {
    return startKeyed(slot, sign ? kOpSign : kOpVerify, dm, key, sign,
                      [&](const MechanismInfo& m, std::unique_ptr<SignOperation>* out) {
                          return makeSigner(m, dm, *key, sign, rng, out);
                      });
}

Rv signUpdate(SignSlot& slot, ByteView part, bool* contextLogin) {
    if (!slot.active()) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    if (!loginOk(slot.needsLogin, contextLogin)) {
        slot.end();
        return CKR_USER_NOT_LOGGED_IN;
    }
    const Rv rv = slot.op->update(part);
    if (rv != CKR_OK) {
        slot.end();
        return rv;
    }
    consumeLogin(slot, contextLogin);
    slot.updated = true;
    return CKR_OK;
}

Rv signFinish(SignSlot& slot, const ByteView* data, const OutputSpec& wanted, Output* out,
              bool* contextLogin) {
    if (!slot.active()) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    if (data != nullptr && slot.updated) {
        slot.end();
        return CKR_OPERATION_ACTIVE;
    }
    if (std::optional<Rv> answered = answerBySize(slot.op->signatureLength(), wanted, out)) {
        return *answered;
    }
    if (!loginOk(slot.needsLogin, contextLogin)) {
        slot.end();
        return CKR_USER_NOT_LOGGED_IN;
    }
    consumeLogin(slot, contextLogin);
    Rv rv = data != nullptr ? slot.op->update(*data) : CKR_OK;
    Bytes signature;
    if (rv == CKR_OK) {
        rv = slot.op->sign(&signature);
    }
    slot.end();
    if (rv != CKR_OK) {
        out->length.reset();
        return rv;
    }
    out->length = static_cast<uint32_t>(signature.size());
    out->data = std::move(signature);
    return CKR_OK;
}

Rv verifyFinish(SignSlot& slot, const ByteView* data, ByteView signature) {
    if (!slot.active()) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    if (data != nullptr && slot.updated) {
        slot.end();
        return CKR_OPERATION_ACTIVE;
    }
    Rv rv = data != nullptr ? slot.op->update(*data) : CKR_OK;
    if (rv == CKR_OK) {
        rv = slot.op->verify(signature);
    }
    slot.end();
    return rv;
}

// ---- digests --------------------------------------------------------------

Rv digestInit(DigestSlot& slot, const DeviceMechanism& dm) {
    if (slot.active()) {
        return CKR_OPERATION_ACTIVE;
    }
    const MechanismInfo* m = nullptr;
    Rv rv = mechanismFor(dm.type, kOpDigest, &m);
    if (rv != CKR_OK) {
        return rv;
    }
    if (!parameterOf(dm).empty()) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    auto hasher = std::make_unique<Hasher>();
    rv = hasher->start(m->hash);
    if (rv != CKR_OK) {
        return rv;
    }
    slot.start(std::move(hasher));
    return CKR_OK;
}

Rv digestUpdate(DigestSlot& slot, ByteView part) {
    if (!slot.active()) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    const Rv rv = slot.op->update(part);
    if (rv != CKR_OK) {
        slot.end();
        return rv;
    }
    slot.updated = true;
    return CKR_OK;
}

Rv digestKey(DigestSlot& slot, const Object* key) {
    if (!slot.active()) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    Rv rv = CKR_OK;
    if (key == nullptr) {
        rv = CKR_KEY_HANDLE_INVALID;
    } else if (key->objectClass() != CKO_SECRET_KEY || key->get(CKA_VALUE) == nullptr) {
        rv = CKR_KEY_INDIGESTIBLE;
    } else {
        rv = slot.op->update(*key->get(CKA_VALUE));
    }
    if (rv != CKR_OK) {
        slot.end();
        return rv;
    }
    slot.updated = true;
    return CKR_OK;
}

Rv digestFinal(DigestSlot& slot, const OutputSpec& wanted, Output* out) {
    if (!slot.active()) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    if (std::optional<Rv> answered = answerBySize(slot.op->size(), wanted, out)) {
        return *answered;
    }
    Bytes digest;
    const Rv rv = slot.op->finish(&digest);
    slot.end();
    if (rv != CKR_OK) {
        out->length.reset();
        return rv;
    }
    out->data = std::move(digest);
    return CKR_OK;
}

}  // namespace vexa::sim::crypto
