// The operations a session can have in progress, behind small interfaces
// so that the state machine (session_ops.h, engine.cpp) is the same for
// every mechanism.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "sim/objects/attribute.h"

namespace vexa::sim::crypto {

enum class Step : uint8_t { Single, Update, Final };

// Encryption or decryption.
class CipherOperation {
public:
    virtual ~CipherOperation() = default;

    // An upper bound of the output of `step` with `inputLength` bytes.
    virtual size_t maxOutput(Step step, size_t inputLength) const = 0;
    // Runs one step. The state changes only on success.
    virtual Rv run(Step step, ByteView in, Bytes* out) = 0;
    // A copy that continues independently: the device runs a step on a copy
    // when it must learn the exact output size before it may commit.
    virtual std::unique_ptr<CipherOperation> clone() const = 0;
};

// Signing, verifying, and MACs.
class SignOperation {
public:
    virtual ~SignOperation() = default;

    virtual size_t signatureLength() const = 0;
    virtual Rv update(ByteView part) = 0;
    virtual Rv sign(Bytes* signature) = 0;
    // CKR_SIGNATURE_INVALID or CKR_SIGNATURE_LEN_RANGE when it does not verify.
    virtual Rv verify(ByteView signature) = 0;
};

}  // namespace vexa::sim::crypto
