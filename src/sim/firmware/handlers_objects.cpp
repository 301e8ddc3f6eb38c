// Objects: C_GetAttributeValue (16), C_FindObjectsInit (33), C_CreateObject
// (35), C_SetAttributeValue (36), C_FindObjects (37), C_FindObjectsFinal
// (38), C_DestroyObject (39), C_CopyObject (40) and C_GetObjectSize (52),
// over the token's object store. The family also registers the store as
// the token extension.
#include <p11-kit/pkcs11.h>

#include <algorithm>

#include "sim/crypto/session_ops.h"
#include "sim/firmware/codec.h"
#include "sim/firmware/handlers.h"
#include "sim/firmware/token_objects.h"

namespace vexa::sim {

namespace {

// The module reads a reply into 2048 bytes; a C_FindObjects reply holds at
// most this many handles so that it fits with room to spare.
constexpr uint32_t kMaxFoundPerCall = 500;
constexpr size_t kModuleReplyLimit = 2048;

// Marks the call when it changed token objects, so the state file follows.
class PersistWatch {
public:
    explicit PersistWatch(Call& call)
        : call_(call), store_(storeOf(call.token)), before_(store_.tokenGeneration()) {}
    ~PersistWatch() {
        if (store_.tokenGeneration() != before_) {
            call_.persistentChange = true;
        }
    }
    PersistWatch(const PersistWatch&) = delete;
    PersistWatch& operator=(const PersistWatch&) = delete;

private:
    Call& call_;
    const ObjectStore& store_;
    uint64_t before_;
};

uint32_t createObject(Call& call) {
    PersistWatch watch(call);
    Template tmpl;
    Rv rv = toTemplate(call.request.templ, &tmpl);
    if (rv != CKR_OK) {
        return rv;
    }
    uint32_t handle = 0;
    rv = storeOf(call.token).create(accessOf(call.token, *call.session), tmpl, &handle);
    if (rv == CKR_OK) {
        call.response.handle = handle;
    }
    return rv;
}

uint32_t copyObject(Call& call) {
    PersistWatch watch(call);
    Template changes;
    Rv rv = toTemplate(call.request.templ, &changes);
    if (rv != CKR_OK) {
        return rv;
    }
    uint32_t handle = 0;
    rv = storeOf(call.token)
             .copy(accessOf(call.token, *call.session), call.request.object.value_or(0), changes,
                   &handle);
    if (rv == CKR_OK) {
        call.response.handle = handle;
    }
    return rv;
}

uint32_t destroyObject(Call& call) {
    PersistWatch watch(call);
    return storeOf(call.token)
        .destroy(accessOf(call.token, *call.session), call.request.object.value_or(0));
}

uint32_t setAttributeValue(Call& call) {
    PersistWatch watch(call);
    Template changes;
    const Rv rv = toTemplate(call.request.templ, &changes);
    if (rv != CKR_OK) {
        return rv;
    }
    return storeOf(call.token)
        .setAttributes(accessOf(call.token, *call.session), call.request.object.value_or(0),
                       changes);
}

uint32_t getObjectSize(Call& call) {
    uint32_t size = 0;
    const Rv rv = storeOf(call.token)
                      .objectSize(accessOf(call.token, *call.session),
                                  call.request.object.value_or(0), &size);
    if (rv == CKR_OK) {
        call.response.length = size;
    }
    return rv;
}

// Values that would push the reply past what the module reads are sent as
// their length alone, largest first: a size query still gets every length.
void fitReply(DeviceResponse& response) {
    Bytes encoded;
    while (!encodeResponse(response, encoded, kModuleReplyLimit)) {
        auto largest = std::max_element(response.attributes.begin(), response.attributes.end(),
                                        [](const DeviceAttribute& a, const DeviceAttribute& b) {
                                            return a.bytes.size() < b.bytes.size();
                                        });
        if (largest == response.attributes.end() || largest->bytes.empty()) {
            return;
        }
        wipe(&largest->bytes);
    }
}

uint32_t getAttributeValue(Call& call) {
    std::vector<uint32_t> types;
    types.reserve(call.request.templ.size());
    for (const DeviceAttribute& a : call.request.templ) {
        types.push_back(a.type);
    }
    std::vector<AttrResult> results;
    const Rv rv = storeOf(call.token)
                      .getAttributes(accessOf(call.token, *call.session),
                                     call.request.object.value_or(0), types, &results);
    for (const AttrResult& r : results) {
        call.response.attributes.push_back(toWire(r));
    }
    fitReply(call.response);
    return rv;
}

uint32_t findObjectsInit(Call& call) {
    crypto::FindCursor& cursor = call.session->state<crypto::SessionOps>().find;
    if (cursor.active) {
        return CKR_OPERATION_ACTIVE;
    }
    Template tmpl;
    const Rv rv = toTemplate(call.request.templ, &tmpl);
    if (rv != CKR_OK) {
        return rv;
    }
    cursor.handles = storeOf(call.token).search(accessOf(call.token, *call.session), tmpl);
    cursor.next = 0;
    cursor.active = true;
    return CKR_OK;
}

uint32_t findObjects(Call& call) {
    crypto::FindCursor& cursor = call.session->state<crypto::SessionOps>().find;
    if (!cursor.active) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    const uint32_t wanted = std::min(call.request.outCapacity.value_or(0), kMaxFoundPerCall);
    if (wanted == 0) {
        return CKR_ARGUMENTS_BAD;
    }
    // Objects destroyed since the search began, or hidden by a logout, are
    // skipped.
    const ObjectStore& store = storeOf(call.token);
    const Access who = accessOf(call.token, *call.session);
    Bytes found;
    uint32_t count = 0;
    while (count < wanted && cursor.next < cursor.handles.size()) {
        const uint32_t h = cursor.handles[cursor.next++];
        if (store.find(who, h) != nullptr) {
            appendLe32(&found, h);
            ++count;
        }
    }
    // The handles alone: the host counts what it receives.
    crypto::Output out;
    out.data = std::move(found);
    return putOutput(call, CKR_OK, out);
}

uint32_t findObjectsFinal(Call& call) {
    crypto::FindCursor& cursor = call.session->state<crypto::SessionOps>().find;
    if (!cursor.active) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    cursor = crypto::FindCursor{};
    return CKR_OK;
}

using F = rpc::FunctionId;

constexpr HandlerEntry kObjectHandlers[] = {
    {F::GetAttributeValue, &getAttributeValue},
    {F::FindObjectsInit, &findObjectsInit},
    {F::CreateObject, &createObject},
    {F::SetAttributeValue, &setAttributeValue},
    {F::FindObjects, &findObjects},
    {F::FindObjectsFinal, &findObjectsFinal},
    {F::DestroyObject, &destroyObject},
    {F::CopyObject, &copyObject},
    {F::GetObjectSize, &getObjectSize},
};

}  // namespace

void registerObjectHandlers(Registry& registry) {
    registry.add(kObjectHandlers);
    registry.setTokenExtensionFactory(&makeTokenObjects);
}

}  // namespace vexa::sim
