// Keys and cryptography: key generation (1, 15), encryption and decryption
// (2-9), signing and verification (21-28), digests (29, 31, 32, 50),
// wrapping, unwrapping and derivation (43, 44, 49), on the crypto engine.
// Operation state lives in the session (crypto::SessionOps).
#include <p11-kit/pkcs11.h>

#include "sim/crypto/engine.h"
#include "sim/crypto/key_management.h"
#include "sim/firmware/handlers.h"
#include "sim/firmware/token_objects.h"

namespace vexa::sim {

namespace {

using crypto::Output;
using crypto::Step;

crypto::SessionOps& opsOf(Call& call) {
    return call.session->state<crypto::SessionOps>();
}
crypto::Rng rngOf(Call& call) {
    return crypto::rngOf(call.random);
}
Access whoOf(Call& call) {
    return accessOf(call.token, *call.session);
}

const Object* keyOf(Call& call, std::optional<uint32_t> handle) {
    return storeOf(call.token).find(whoOf(call), handle.value_or(0));
}

ByteView dataOf(const std::optional<Bytes>& data) {
    return data ? ByteView(*data) : ByteView();
}

// Keys created by a call reach the state file when they are token objects.
uint32_t persisting(Call& call, uint64_t before, uint32_t rv) {
    if (storeOf(call.token).tokenGeneration() != before) {
        call.persistentChange = true;
    }
    return rv;
}

Rv templateOf(const std::vector<DeviceAttribute>& wire, Template* out) {
    return toTemplate(wire, out);
}

// ---- encryption and decryption --------------------------------------------

uint32_t cipherInit(Call& call, bool encrypt) {
    if (!call.request.mechanism) {
        return CKR_MECHANISM_INVALID;
    }
    crypto::SessionOps& ops = opsOf(call);
    return crypto::cipherInit(encrypt ? ops.encrypt : ops.decrypt, encrypt, *call.request.mechanism,
                              keyOf(call, call.request.object), rngOf(call));
}

uint32_t cipherStep(Call& call, bool encrypt, Step step) {
    crypto::SessionOps& ops = opsOf(call);
    Output out;
    const Rv rv =
        crypto::cipherStep(encrypt ? ops.encrypt : ops.decrypt, step, dataOf(call.request.data),
                           outputSpecOf(call.request), &out, &call.session->contextAuthenticated);
    return putOutput(call, rv, out);
}

uint32_t encryptInit(Call& call) {
    return cipherInit(call, true);
}
uint32_t decryptInit(Call& call) {
    return cipherInit(call, false);
}
uint32_t encrypt(Call& call) {
    return cipherStep(call, true, Step::Single);
}
uint32_t decrypt(Call& call) {
    return cipherStep(call, false, Step::Single);
}
uint32_t encryptUpdate(Call& call) {
    return cipherStep(call, true, Step::Update);
}
uint32_t decryptUpdate(Call& call) {
    return cipherStep(call, false, Step::Update);
}
uint32_t encryptFinal(Call& call) {
    return cipherStep(call, true, Step::Final);
}
uint32_t decryptFinal(Call& call) {
    return cipherStep(call, false, Step::Final);
}

// ---- signing and verification ---------------------------------------------

uint32_t signInit(Call& call, bool sign) {
    if (!call.request.mechanism) {
        return CKR_MECHANISM_INVALID;
    }
    crypto::SessionOps& ops = opsOf(call);
    return crypto::signInit(sign ? ops.sign : ops.verify, sign, *call.request.mechanism,
                            keyOf(call, call.request.object), rngOf(call));
}

uint32_t signInitHandler(Call& call) {
    return signInit(call, true);
}
uint32_t verifyInitHandler(Call& call) {
    return signInit(call, false);
}

uint32_t sign(Call& call) {
    Output out;
    const ByteView data = dataOf(call.request.data);
    const Rv rv = crypto::signFinish(opsOf(call).sign, &data, outputSpecOf(call.request), &out,
                                     &call.session->contextAuthenticated);
    return putOutput(call, rv, out);
}

uint32_t signFinal(Call& call) {
    Output out;
    const Rv rv = crypto::signFinish(opsOf(call).sign, nullptr, outputSpecOf(call.request), &out,
                                     &call.session->contextAuthenticated);
    return putOutput(call, rv, out);
}

uint32_t signUpdate(Call& call) {
    return crypto::signUpdate(opsOf(call).sign, dataOf(call.request.data),
                              &call.session->contextAuthenticated);
}

uint32_t verifyUpdate(Call& call) {
    return crypto::signUpdate(opsOf(call).verify, dataOf(call.request.data), nullptr);
}

uint32_t verify(Call& call) {
    const ByteView data = dataOf(call.request.data);
    return crypto::verifyFinish(opsOf(call).verify, &data, dataOf(call.request.data2));
}

uint32_t verifyFinal(Call& call) {
    return crypto::verifyFinish(opsOf(call).verify, nullptr, dataOf(call.request.data));
}

// ---- digests --------------------------------------------------------------

uint32_t digestInit(Call& call) {
    if (!call.request.mechanism) {
        return CKR_MECHANISM_INVALID;
    }
    return crypto::digestInit(opsOf(call).digest, *call.request.mechanism);
}

uint32_t digestUpdate(Call& call) {
    return crypto::digestUpdate(opsOf(call).digest, dataOf(call.request.data));
}

uint32_t digestKey(Call& call) {
    return crypto::digestKey(opsOf(call).digest, keyOf(call, call.request.object));
}

uint32_t digestFinal(Call& call) {
    Output out;
    const Rv rv = crypto::digestFinal(opsOf(call).digest, outputSpecOf(call.request), &out);
    return putOutput(call, rv, out);
}

// ---- keys -----------------------------------------------------------------

uint32_t maxRsaBits(const Token& token) {
    return token.product == "Dorvik" ? 2048 : 4096;
}

uint32_t generateKey(Call& call) {
    if (!call.request.mechanism) {
        return CKR_MECHANISM_INVALID;
    }
    const uint64_t before = storeOf(call.token).tokenGeneration();
    Template tmpl;
    Rv rv = templateOf(call.request.templ, &tmpl);
    uint32_t handle = 0;
    if (rv == CKR_OK) {
        rv = crypto::generateKey(storeOf(call.token), whoOf(call), *call.request.mechanism, tmpl,
                                 rngOf(call), &handle);
    }
    if (rv == CKR_OK) {
        call.response.handle = handle;
    }
    return persisting(call, before, rv);
}

uint32_t generateKeyPair(Call& call) {
    if (!call.request.mechanism) {
        return CKR_MECHANISM_INVALID;
    }
    const uint64_t before = storeOf(call.token).tokenGeneration();
    Template pub, priv;
    Rv rv = templateOf(call.request.templ, &pub);
    if (rv == CKR_OK) {
        rv = templateOf(call.request.templ2, &priv);
    }
    uint32_t pubHandle = 0, privHandle = 0;
    if (rv == CKR_OK) {
        rv = crypto::generateKeyPair(storeOf(call.token), whoOf(call), *call.request.mechanism, pub,
                                     priv, rngOf(call), maxRsaBits(call.token), &pubHandle,
                                     &privHandle);
    }
    if (rv == CKR_OK) {
        call.response.handle = pubHandle;
        call.response.handle2 = privHandle;
    }
    return persisting(call, before, rv);
}

uint32_t wrapKey(Call& call) {
    if (!call.request.mechanism) {
        return CKR_MECHANISM_INVALID;
    }
    Bytes wrapped;
    const Rv rv = crypto::wrapKey(storeOf(call.token), whoOf(call), *call.request.mechanism,
                                  call.request.object2.value_or(0), call.request.object.value_or(0),
                                  rngOf(call), &wrapped);
    if (rv != CKR_OK) {
        return rv;
    }
    return putOutput(call, std::move(wrapped));
}

uint32_t unwrapKey(Call& call) {
    if (!call.request.mechanism) {
        return CKR_MECHANISM_INVALID;
    }
    const uint64_t before = storeOf(call.token).tokenGeneration();
    Template tmpl;
    Rv rv = templateOf(call.request.templ, &tmpl);
    uint32_t handle = 0;
    if (rv == CKR_OK) {
        rv = crypto::unwrapKey(storeOf(call.token), whoOf(call), *call.request.mechanism,
                               call.request.object.value_or(0), dataOf(call.request.data), tmpl,
                               rngOf(call), &handle);
    }
    if (rv == CKR_OK) {
        call.response.handle = handle;
    }
    return persisting(call, before, rv);
}

uint32_t deriveKey(Call& call) {
    if (!call.request.mechanism) {
        return CKR_MECHANISM_INVALID;
    }
    const uint64_t before = storeOf(call.token).tokenGeneration();
    Template tmpl;
    Rv rv = templateOf(call.request.templ, &tmpl);
    uint32_t handle = 0;
    if (rv == CKR_OK) {
        rv = crypto::deriveKey(storeOf(call.token), whoOf(call), *call.request.mechanism,
                               call.request.object.value_or(0), tmpl, rngOf(call), &handle);
    }
    if (rv == CKR_OK) {
        call.response.handle = handle;
    }
    return persisting(call, before, rv);
}

using F = rpc::FunctionId;

constexpr HandlerEntry kCryptoHandlers[] = {
    {F::GenerateKey, &generateKey},
    {F::EncryptInit, &encryptInit},
    {F::Encrypt, &encrypt},
    {F::DecryptInit, &decryptInit},
    {F::Decrypt, &decrypt},
    {F::EncryptUpdate, &encryptUpdate},
    {F::DecryptUpdate, &decryptUpdate},
    {F::EncryptFinal, &encryptFinal},
    {F::DecryptFinal, &decryptFinal},
    {F::GenerateKeyPair, &generateKeyPair},
    {F::SignInit, &signInitHandler},
    {F::Sign, &sign},
    {F::VerifyInit, &verifyInitHandler},
    {F::Verify, &verify},
    {F::SignUpdate, &signUpdate},
    {F::VerifyUpdate, &verifyUpdate},
    {F::SignFinal, &signFinal},
    {F::VerifyFinal, &verifyFinal},
    {F::DigestInit, &digestInit},
    {F::DigestUpdate, &digestUpdate},
    {F::DigestFinal, &digestFinal},
    {F::WrapKey, &wrapKey},
    {F::UnwrapKey, &unwrapKey},
    {F::DeriveKey, &deriveKey},
    {F::DigestKey, &digestKey},
};

}  // namespace

void registerCryptoHandlers(Registry& registry) {
    registry.add(kCryptoHandlers);
}

}  // namespace vexa::sim
