// What the handlers that make or change token objects share: the state
// file follows every change to token objects, and a new object's handle
// goes back to the host.
#pragma once

#include <cstdint>

#include "sim/firmware/handlers.h"
#include "sim/objects/attribute.h"
#include "sim/firmware/token_objects.h"

namespace vexa::sim {

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

// A call that makes one object from the request's template (Request.template):
// `make(tmpl, &handle)` runs once the template is read, and the new handle
// goes back in Response.handle when it answers CKR_OK.
template <class Make>
uint32_t makeObject(Call& call, Make make) {
    PersistWatch watch(call);
    Template tmpl;
    Rv rv = toTemplate(call.request.templ, &tmpl);
    uint32_t handle = 0;
    if (rv == CKR_OK) {
        rv = make(tmpl, &handle);
    }
    if (rv == CKR_OK) {
        call.response.handle = handle;
    }
    return rv;
}

}  // namespace vexa::sim
