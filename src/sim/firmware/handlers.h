// The firmware's handler table: one handler per row of the call table
// (rpc/function_ids.h).
//
// How to add handlers:
//   1. Write `uint32_t myHandler(Call& call)`: read call.request, fill
//      call.response, return the CK_RV (the dispatcher stores it in
//      Response.rv). Set call.persistentChange when the call changed
//      anything the state file keeps (token objects, PINs, label).
//   2. List it in a table of HandlerEntry {FunctionId, handler} in your
//      handlers_*.cpp and add the table in that file's register function
//      (registerObjectHandlers / registerCryptoHandlers below).
//   3. For ids that the call table routes by session the dispatcher
//      resolves Request.session first: a missing or unknown handle answers
//      CKR_SESSION_HANDLE_INVALID and the handler is not called;
//      call.session is then never null.
// Handlers run under the device lock, one at a time per token. They may
// throw std::bad_alloc only; any other escape is answered with
// CKR_DEVICE_ERROR. Ids without a handler answer CKR_FUNCTION_NOT_SUPPORTED.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "rpc/function_ids.h"
#include "sim/crypto/output.h"
#include "sim/types/device_types.h"
#include "sim/firmware/token.h"

namespace vexa::sim {

class DeviceRandom;
class DeviceClock;

struct Call {
    const DeviceRequest& request;
    DeviceResponse& response;
    Token& token;
    Session* session;  // resolved for ids routed by session, else null
    DeviceRandom& random;
    DeviceClock& clock;
    bool persistentChange = false;
};

using Handler = uint32_t (*)(Call& call);

struct HandlerEntry {
    rpc::FunctionId functionId;
    Handler handler;
};

// A registered handler with its call's routing from the call table.
struct Dispatch {
    Handler handler = nullptr;
    rpc::Routing routing = rpc::Routing::BySession;
};

using TokenExtensionFactory = std::unique_ptr<TokenExtension> (*)();

// Collects the handler entries of every family at start-up.
class Registry {
public:
    // Adds `count` entries; an id registered twice or without a row in the
    // call table is a programming error (std::logic_error).
    void add(const HandlerEntry* entries, size_t count);
    template <size_t N>
    void add(const HandlerEntry (&entries)[N]) {
        add(entries, N);
    }
    void setTokenExtensionFactory(TokenExtensionFactory factory) { factory_ = factory; }

    // The handler of an id, or nullptr for an id without one.
    const Dispatch* find(uint32_t functionId) const;
    TokenExtensionFactory tokenExtensionFactory() const { return factory_; }

private:
    Dispatch table_[rpc::kMaxFunctionId + 1] = {};
    TokenExtensionFactory factory_ = nullptr;
};

// The families. Each lives in its own handlers_*.cpp.
void registerTokenHandlers(Registry& registry);    // token information, init, clock
void registerSessionHandlers(Registry& registry);  // sessions, login and PINs
void registerRandomHandlers(Registry& registry);   // random numbers
void registerObjectHandlers(Registry& registry);   // objects and attributes
void registerCryptoHandlers(Registry& registry);   // keys and cryptography

// The registry with every family, built once.
const Registry& firmwareRegistry();

// The one way outputs reach the response, under the rule of
// sim/crypto/output.h.
//
// What the request asks of an output: Request.length_only and
// Request.out_capacity.
crypto::OutputSpec outputSpecOf(const DeviceRequest& request);
// An answer already judged by the rule (the crypto engine's, or bytes made
// to the count the host asked for, which state no length): the length when
// there is one, the bytes only with CKR_OK. Returns rv.
uint32_t putOutput(Call& call, uint32_t rv, crypto::Output& out);
// A whole output judged here: with length_only only the length; when
// out_capacity is too small, the length and CKR_BUFFER_TOO_SMALL; otherwise
// the bytes and their length. Returns the CK_RV.
uint32_t putOutput(Call& call, Bytes output);

}  // namespace vexa::sim
