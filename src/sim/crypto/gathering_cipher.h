// Base of the ciphers that need their whole input at once (RSA, AES key
// wrap): update steps gather the parts, up to a bound, and the final step
// processes them.
#pragma once

#include <p11-kit/pkcs11.h>

#include "sim/crypto/operation.h"

namespace vexa::sim::crypto {

class GatheringCipher : public CipherOperation {
public:
    GatheringCipher() = default;
    GatheringCipher(const GatheringCipher&) = default;
    ~GatheringCipher() override { wipe(&gathered_); }

    size_t maxOutput(Step step, size_t inputLength) const override {
        if (step == Step::Update) {
            return 0;
        }
        return outputBound((step == Step::Single ? 0 : gathered_.size()) + inputLength);
    }

    Rv run(Step step, ByteView in, Bytes* out) override {
        if (step == Step::Single) {
            wipe(&gathered_);
        }
        if (gathered_.size() + in.size > inputLimit()) {
            return inputTooLong();
        }
        gathered_.insert(gathered_.end(), in.begin(), in.end());
        if (step == Step::Update) {
            out->clear();
            return CKR_OK;
        }
        const Rv rv = process(gathered_, out);
        wipe(&gathered_);
        return rv;
    }

protected:
    virtual size_t inputLimit() const = 0;
    virtual Rv inputTooLong() const = 0;
    virtual size_t outputBound(size_t inputLength) const = 0;
    virtual Rv process(ByteView in, Bytes* out) = 0;

private:
    Bytes gathered_;
};

}  // namespace vexa::sim::crypto
