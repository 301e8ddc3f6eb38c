#include "sim/crypto/cipher_modes.h"

#include <algorithm>
#include <cstring>

#include <mbedtls/platform_util.h>
#include <p11-kit/pkcs11.h>

#include "sim/crypto/aes_kw.h"
#include "sim/crypto/gathering_cipher.h"

namespace vexa::sim::crypto {
namespace {

constexpr size_t kMaxBlock = 16;

// The chaining state of one direction of a mode.
struct ChainState {
    uint8_t iv[kMaxBlock] = {};       // CBC chaining value, or CTR counter block
    uint8_t pending[kMaxBlock] = {};  // input not yet processed
    size_t pendingLength = 0;
    uint8_t keystream[kMaxBlock] = {};  // CTR: the current keystream block
    size_t keystreamUsed = kMaxBlock;   // CTR: bytes of it already used
    uint64_t blocksLeft = 0;            // CTR: counter values left, 0 = unlimited
    bool counterExhausted = false;
};

class BlockMode final : public CipherOperation {
public:
    BlockMode(std::shared_ptr<const BlockCipher> cipher, Mode mode, bool encrypt,
              uint32_t counterBits)
        : cipher_(std::move(cipher)), mode_(mode), encrypt_(encrypt), counterBits_(counterBits) {}
    ~BlockMode() override { mbedtls_platform_zeroize(&state_, sizeof state_); }

    void start(ByteView iv) {
        if (iv.size == cipher_->blockSize()) {
            std::memcpy(state_.iv, iv.data, iv.size);
        }
        if (mode_ == Mode::Ctr && counterBits_ < 64) {
            state_.blocksLeft = uint64_t{1} << counterBits_;
        }
    }

    size_t maxOutput(Step step, size_t inputLength) const override {
        const size_t bs = cipher_->blockSize();
        const size_t pending = step == Step::Single ? 0 : state_.pendingLength;
        const size_t total = pending + inputLength;
        if (mode_ == Mode::Ctr) {
            return step == Step::Final ? 0 : inputLength;
        }
        const bool padding = mode_ == Mode::CbcPad;
        switch (step) {
            case Step::Update:
                if (padding && !encrypt_) {
                    return total == 0 ? 0 : (total - 1) / bs * bs;
                }
                return total / bs * bs;
            case Step::Final:
                return padding ? bs : 0;
            case Step::Single:
                if (padding && encrypt_) {
                    return (total / bs + 1) * bs;
                }
                return total;
        }
        return 0;
    }

    Rv run(Step step, ByteView in, Bytes* out) override {
        ChainState next = state_;
        if (step == Step::Single) {
            next.pendingLength = 0;
        }
        Bytes result;
        result.reserve(maxOutput(step, in.size));
        Rv rv = CKR_OK;
        if (step != Step::Final) {
            rv = mode_ == Mode::Ctr ? ctr(next, in, &result) : blocks(next, in, &result);
        }
        if (rv == CKR_OK && step != Step::Update) {
            rv = finish(next, &result);
        }
        if (rv != CKR_OK) {
            mbedtls_platform_zeroize(&next, sizeof next);
            wipe(&result);
            return rv;
        }
        state_ = next;
        mbedtls_platform_zeroize(&next, sizeof next);
        *out = std::move(result);
        return CKR_OK;
    }

    std::unique_ptr<CipherOperation> clone() const override {
        return std::make_unique<BlockMode>(*this);
    }

private:
    void cryptBlock(ChainState& s, const uint8_t* in, uint8_t* out) const {
        const size_t bs = cipher_->blockSize();
        uint8_t tmp[kMaxBlock];
        if (mode_ == Mode::Ecb) {
            encrypt_ ? cipher_->encryptBlock(in, out) : cipher_->decryptBlock(in, out);
            return;
        }
        if (encrypt_) {
            for (size_t i = 0; i < bs; ++i) {
                tmp[i] = in[i] ^ s.iv[i];
            }
            cipher_->encryptBlock(tmp, out);
            std::memcpy(s.iv, out, bs);
        } else {
            std::memcpy(tmp, in, bs);  // `in` and `out` may be the same block
            cipher_->decryptBlock(in, out);
            for (size_t i = 0; i < bs; ++i) {
                out[i] ^= s.iv[i];
            }
            std::memcpy(s.iv, tmp, bs);
        }
        mbedtls_platform_zeroize(tmp, sizeof tmp);
    }

    // ECB and CBC: whole blocks go out; the rest waits. CBC_PAD decryption
    // always keeps the last block back, since it may hold the padding.
    Rv blocks(ChainState& s, ByteView in, Bytes* out) const {
        const size_t bs = cipher_->blockSize();
        const bool holdLast = mode_ == Mode::CbcPad && !encrypt_;
        size_t offset = 0;
        uint8_t block[kMaxBlock];
        while (true) {
            const size_t take = std::min(bs - s.pendingLength, in.size - offset);
            if (take > 0) {  // empty input may come without a buffer
                std::memcpy(s.pending + s.pendingLength, in.data + offset, take);
            }
            s.pendingLength += take;
            offset += take;
            if (s.pendingLength < bs || (holdLast && offset == in.size)) {
                break;
            }
            cryptBlock(s, s.pending, block);
            out->insert(out->end(), block, block + bs);
            s.pendingLength = 0;
        }
        mbedtls_platform_zeroize(block, sizeof block);
        return CKR_OK;
    }

    Rv ctr(ChainState& s, ByteView in, Bytes* out) const {
        const size_t bs = cipher_->blockSize();
        for (size_t i = 0; i < in.size; ++i) {
            if (s.keystreamUsed == bs) {
                if (s.counterExhausted) {
                    return CKR_DATA_LEN_RANGE;
                }
                cipher_->encryptBlock(s.iv, s.keystream);
                s.keystreamUsed = 0;
                incrementCounter(s);
            }
            out->push_back(in.data[i] ^ s.keystream[s.keystreamUsed++]);
        }
        return CKR_OK;
    }

    // Adds one to the low `counterBits_` bits of the counter block; the
    // device refuses to reuse a counter value.
    void incrementCounter(ChainState& s) const {
        if (s.blocksLeft != 0 && --s.blocksLeft == 0) {
            s.counterExhausted = true;
        }
        const size_t bs = cipher_->blockSize();
        uint32_t bits = counterBits_;
        for (size_t i = bs; i-- > 0 && bits > 0;) {
            const uint32_t width = std::min<uint32_t>(bits, 8);
            const uint8_t mask = static_cast<uint8_t>((1u << width) - 1);
            const uint8_t low = static_cast<uint8_t>((s.iv[i] + 1) & mask);
            s.iv[i] = static_cast<uint8_t>((s.iv[i] & ~mask) | low);
            if (low != 0) {
                break;
            }
            bits -= width;
        }
    }

    Rv finish(ChainState& s, Bytes* out) const {
        const size_t bs = cipher_->blockSize();
        uint8_t block[kMaxBlock];
        Rv rv = CKR_OK;
        if (mode_ == Mode::Ctr) {
            // Nothing is held back.
        } else if (mode_ != Mode::CbcPad) {
            if (s.pendingLength != 0) {
                rv = encrypt_ ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE;
            }
        } else if (encrypt_) {
            const auto pad = static_cast<uint8_t>(bs - s.pendingLength);
            std::memset(s.pending + s.pendingLength, pad, pad);
            cryptBlock(s, s.pending, block);
            out->insert(out->end(), block, block + bs);
        } else if (s.pendingLength != bs) {
            rv = CKR_ENCRYPTED_DATA_LEN_RANGE;
        } else {
            cryptBlock(s, s.pending, block);
            const uint8_t pad = block[bs - 1];
            bool ok = pad >= 1 && pad <= bs;
            for (size_t i = 0; ok && i < pad; ++i) {
                ok = block[bs - 1 - i] == pad;
            }
            if (ok) {
                out->insert(out->end(), block, block + bs - pad);
            } else {
                rv = CKR_ENCRYPTED_DATA_INVALID;
            }
        }
        s.pendingLength = 0;
        mbedtls_platform_zeroize(block, sizeof block);
        return rv;
    }

    std::shared_ptr<const BlockCipher> cipher_;
    Mode mode_;
    bool encrypt_;
    uint32_t counterBits_;
    ChainState state_;
};

// Key wrap needs all its input at once.
class KeyWrapCipher final : public GatheringCipher {
public:
    static constexpr size_t kMaxInput = 65536;

    KeyWrapCipher(std::shared_ptr<const BlockCipher> cipher, bool encrypt, const uint8_t iv[8])
        : cipher_(std::move(cipher)), encrypt_(encrypt) {
        std::memcpy(iv_, iv, sizeof iv_);
    }

    std::unique_ptr<CipherOperation> clone() const override {
        return std::make_unique<KeyWrapCipher>(*this);
    }

protected:
    size_t inputLimit() const override { return kMaxInput; }
    Rv inputTooLong() const override {
        return encrypt_ ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE;
    }
    size_t outputBound(size_t inputLength) const override {
        return encrypt_ ? inputLength + 8 : inputLength;
    }
    Rv process(ByteView in, Bytes* out) override {
        return encrypt_ ? aesKeyWrap(*cipher_, iv_, in, out) : aesKeyUnwrap(*cipher_, iv_, in, out);
    }

private:
    std::shared_ptr<const BlockCipher> cipher_;
    bool encrypt_;
    uint8_t iv_[8];
};

}  // namespace

std::unique_ptr<CipherOperation> makeBlockMode(std::shared_ptr<const BlockCipher> cipher, Mode mode,
                                               bool encrypt, ByteView iv, uint32_t counterBits) {
    auto op = std::make_unique<BlockMode>(std::move(cipher), mode, encrypt, counterBits);
    op->start(iv);
    return op;
}

std::unique_ptr<CipherOperation> makeKeyWrapCipher(std::shared_ptr<const BlockCipher> cipher,
                                                   bool encrypt, const uint8_t iv[8]) {
    return std::make_unique<KeyWrapCipher>(std::move(cipher), encrypt, iv);
}

}  // namespace vexa::sim::crypto
