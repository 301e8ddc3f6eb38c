// Keys and cryptography: key generation (1, 15), encryption and decryption
// (2-9), signing and verification (21-28), digests (29, 31, 32, 50),
// wrapping, unwrapping and derivation (43, 44, 49), on the crypto engine.
// Operation state lives in the session (crypto::SessionOps).
#include <p11-kit/pkcs11.h>

#include "sim/crypto/engine.h"
#include "sim/crypto/key_management.h"
#include "sim/firmware/handlers.h"
#include "sim/firmware/object_calls.h"
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

// The Init call of a keyed operation: `start` is the engine's cipherInit or
// signInit, run on the slot of the direction asked for.
template <class Slot>
uint32_t keyedInit(Call& call, Slot& slot, bool forward,
                   Rv (*start)(Slot&, bool, const DeviceMechanism&, const Object*, crypto::Rng)) {
    if (!call.request.mechanism) {
        return CKR_MECHANISM_INVALID;
    }
    return start(slot, forward, *call.request.mechanism, keyOf(call, call.request.object),
                 rngOf(call));
}

uint32_t cipherStep(Call& call, bool encrypt, Step step) {
    crypto::SessionOps& ops = opsOf(call);
    Output out;
    const Rv rv =
        crypto::cipherStep(encrypt ? ops.encrypt : ops.decrypt, step, dataOf(call.request.data),
                           outputSpecOf(call.request), &out, &call.session->contextAuthenticated);
    return putOutput(call, rv, out);
}

uint32_t maxRsaBits(const Token& token) {
    return token.product == "Dorvik" ? 2048 : 4096;
}

// A call that makes one key with the request's mechanism from its template.
template <class Make>
uint32_t makeKey(Call& call, Make make) {
    if (!call.request.mechanism) {
        return CKR_MECHANISM_INVALID;
    }
    return makeObject(call, [&](const Template& tmpl, uint32_t* handle) {
        return make(*call.request.mechanism, tmpl, handle);
    });
}

}  // namespace

namespace handlers {

// ---- encryption and decryption --------------------------------------------

uint32_t encryptInit(Call& call) {
    return keyedInit(call, opsOf(call).encrypt, true, &crypto::cipherInit);
}
uint32_t decryptInit(Call& call) {
    return keyedInit(call, opsOf(call).decrypt, false, &crypto::cipherInit);
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

uint32_t signInit(Call& call) {
    return keyedInit(call, opsOf(call).sign, true, &crypto::signInit);
}
uint32_t verifyInit(Call& call) {
    return keyedInit(call, opsOf(call).verify, false, &crypto::signInit);
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

uint32_t generateKey(Call& call) {
    return makeKey(call, [&](const DeviceMechanism& m, const Template& tmpl, uint32_t* handle) {
        return crypto::generateKey(storeOf(call.token), whoOf(call), m, tmpl, rngOf(call), handle);
    });
}

uint32_t generateKeyPair(Call& call) {
    if (!call.request.mechanism) {
        return CKR_MECHANISM_INVALID;
    }
    PersistWatch watch(call);
    Template pub, priv;
    Rv rv = toTemplate(call.request.templ, &pub);
    if (rv == CKR_OK) {
        rv = toTemplate(call.request.templ2, &priv);
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
    return rv;
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
    return makeKey(call, [&](const DeviceMechanism& m, const Template& tmpl, uint32_t* handle) {
        return crypto::unwrapKey(storeOf(call.token), whoOf(call), m,
                                 call.request.object.value_or(0), dataOf(call.request.data), tmpl,
                                 rngOf(call), handle);
    });
}

uint32_t deriveKey(Call& call) {
    return makeKey(call, [&](const DeviceMechanism& m, const Template& tmpl, uint32_t* handle) {
        return crypto::deriveKey(storeOf(call.token), whoOf(call), m,
                                 call.request.object.value_or(0), tmpl, rngOf(call), handle);
    });
}

}  // namespace handlers

}  // namespace vexa::sim
