// The virtual device's firmware answering any sequence of requests: each one
// decoded, dispatched and answered. Every answer must be a Response the
// module can decode, whatever the request held.
//
// Input: records of a 2-byte big-endian length and that many request bytes,
// processed in order by one device whose token starts each input fresh.
#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz_reader.h"
#include "rpc/function_ids.h"
#include "sim/firmware/codec.h"
#include "sim/firmware/firmware.h"
#include "sim/firmware/handlers.h"

namespace {

using vexa::sim::Firmware;
using vexa::sim::Token;

// What a fresh token holds, taken once: deriving the PIN hashes is far too
// slow to repeat for every input.
struct FreshToken {
    vexa::sim::Bytes label;
    vexa::sim::PinRecord soPin;
    vexa::sim::PinRecord userPin;
};

Firmware& device(FreshToken& fresh) {
    static Firmware* firmware = [&fresh] {
        vexa::sim::TokenSetup setup;
        setup.serial = "564558410001";
        setup.product = "Vexa";
        auto* made = new Firmware(setup);
        fresh = FreshToken{made->token().label, made->token().soPin, made->token().userPin};
        return made;
    }();
    return *firmware;
}

// Back to the state of a new device: no sessions, nobody logged in, the
// first PINs and label, an empty object store.
void reset(Firmware& firmware, const FreshToken& fresh) {
    Token& token = firmware.token();
    token.closeAllSessions();
    token.login = vexa::sim::LoginState::Public;
    token.initialised = true;
    token.label = fresh.label;
    token.soPin = fresh.soPin;
    token.userPin = fresh.userPin;
    token.lastSessionHandle = 0;
    if (auto factory = vexa::sim::firmwareRegistry().tokenExtensionFactory()) {
        token.extension = factory();
    }
}

// RSA key-pair generation takes seconds under the sanitizers and parses
// nothing the other requests do not; it is left to the crypto tests.
bool tooSlow(const uint8_t* data, size_t size) {
    const auto request = vexa::sim::decodeRequest(data, size);
    return request &&
           request->functionId == static_cast<uint32_t>(vexa::rpc::FunctionId::GenerateKeyPair) &&
           request->mechanism && request->mechanism->type == CKM_RSA_PKCS_KEY_PAIR_GEN;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FreshToken fresh;
    Firmware& firmware = device(fresh);
    reset(firmware, fresh);

    vexa::fuzz::Reader input(data, size);
    for (int i = 0; i < 32 && !input.empty(); ++i) {
        const std::vector<uint8_t> request = input.block();
        if (tooSlow(request.data(), request.size())) {
            continue;
        }
        const vexa::sim::Bytes answer = firmware.process(request.data(), request.size());
        if (!vexa::sim::decodeResponse(answer.data(), answer.size())) {
            std::abort();
        }
    }
    return 0;
}
