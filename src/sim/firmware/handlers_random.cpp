// Random numbers: C_GenerateRandom (42) and C_SeedRandom (51), from the
// device's CTR-DRBG. Both need a session but no login.
#include <p11-kit/pkcs11.h>

#include "sim/firmware/handlers.h"
#include "sim/crypto/device_random.h"

namespace vexa::sim {

namespace {

// The host asks for at most this many bytes per request; larger requests
// would not fit the host's exchange buffer.
constexpr uint32_t kMaxRandomPiece = 1024;

uint32_t generateRandom(Call& call) {
    if (!call.request.outCapacity || *call.request.outCapacity > kMaxRandomPiece) {
        return CKR_ARGUMENTS_BAD;
    }
    Bytes bytes(*call.request.outCapacity);
    if (!call.random.generate(bytes.data(), bytes.size())) {
        return CKR_DEVICE_ERROR;
    }
    // Exactly the count asked for, with no length: the host counts them.
    crypto::Output out;
    out.data = std::move(bytes);
    return putOutput(call, CKR_OK, out);
}

uint32_t seedRandom(Call& call) {
    if (!call.request.data || call.request.data->empty()) {
        return CKR_ARGUMENTS_BAD;
    }
    return call.random.reseed(call.request.data->data(), call.request.data->size())
               ? CKR_OK
               : CKR_DEVICE_ERROR;
}

using F = rpc::FunctionId;

const HandlerEntry kEntries[] = {
    {F::GenerateRandom, &generateRandom},
    {F::SeedRandom, &seedRandom},
};

}  // namespace

void registerRandomHandlers(Registry& registry) {
    registry.add(kEntries);
}

}  // namespace vexa::sim
