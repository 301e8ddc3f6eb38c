// Per-session state of the object and crypto handlers: the find cursor and
// one slot for each kind of operation (a session may encrypt, decrypt,
// sign, verify, digest and search at the same time, one of each).
//
// An operation starts with its Init call (CKR_OPERATION_ACTIVE while one of
// its kind runs) and ends with its final or single-part call, or with any
// error of a later call except CKR_BUFFER_TOO_SMALL; a size query leaves it
// running. Calls without an operation answer CKR_OPERATION_NOT_INITIALIZED.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/crypto/hashing.h"
#include "sim/crypto/operation.h"
#include "sim/types/extensions.h"

namespace vexa::sim::crypto {

template <class Op>
struct OperationSlot {
    std::unique_ptr<Op> op;
    bool updated = false;     // a multi-part call has been made
    bool single = false;      // a single-part call asked for its size: no updates now
    bool needsLogin = false;  // the key asks for C_Login(CKU_CONTEXT_SPECIFIC) first

    bool active() const { return op != nullptr; }
    void start(std::unique_ptr<Op> next) {
        op = std::move(next);
        updated = false;
        single = false;
        needsLogin = false;
    }
    void end() {
        op.reset();
        updated = false;
        single = false;
        needsLogin = false;
    }
};

struct FindCursor {
    bool active = false;
    std::vector<uint32_t> handles;  // matches at C_FindObjectsInit, ascending
    size_t next = 0;
};

struct SessionOps : SessionExtension {
    FindCursor find;
    OperationSlot<CipherOperation> encrypt;
    OperationSlot<CipherOperation> decrypt;
    OperationSlot<SignOperation> sign;
    OperationSlot<SignOperation> verify;
    OperationSlot<Hasher> digest;
};

}  // namespace vexa::sim::crypto
