// A signature mechanism over a gathered message: the input is hashed on
// the way, or kept whole up to a bound (MessageInput), and the signature
// works on the result. DSA, ECDSA and RSA signers share this.
#pragma once

#include <p11-kit/pkcs11.h>

#include "sim/crypto/hashing.h"
#include "sim/crypto/operation.h"

namespace vexa::sim::crypto {

class MessageSigner : public SignOperation {
public:
    Rv update(ByteView part) final { return input_.update(part); }

    Rv sign(Bytes* signature) final {
        Bytes message;
        if (Rv rv = input_.finish(&message); rv != CKR_OK) {
            return rv;
        }
        return signMessage(message, signature);
    }

    // A signature of another length than signatureLength() is refused
    // (CKR_SIGNATURE_LEN_RANGE) before any arithmetic.
    Rv verify(ByteView signature) final {
        Bytes message;
        if (Rv rv = input_.finish(&message); rv != CKR_OK) {
            return rv;
        }
        if (signature.size != signatureLength()) {
            return CKR_SIGNATURE_LEN_RANGE;
        }
        return verifyMessage(message, signature);
    }

protected:
    // `message` is the digest, or the raw input, as started on input_.
    virtual Rv signMessage(const Bytes& message, Bytes* signature) = 0;
    virtual Rv verifyMessage(const Bytes& message, ByteView signature) = 0;

    MessageInput input_;
};

}  // namespace vexa::sim::crypto
