// Block cipher modes for encryption and decryption: ECB, CBC, CBC with
// PKCS#7 padding, CTR, and AES key wrap used as a single-part cipher.
// Chaining state is plain data, so an operation can be cloned cheaply;
// the key schedule is shared.
#pragma once

#include "sim/crypto/block_cipher.h"
#include "sim/crypto/operation.h"

namespace vexa::sim::crypto {

enum class Mode : uint8_t { Ecb, Cbc, CbcPad, Ctr };

// `iv` is the block-sized initial vector of the chained modes, the initial
// counter block of CTR (with `counterBits` low bits counting), and unused
// for ECB.
std::unique_ptr<CipherOperation> makeBlockMode(std::shared_ptr<const BlockCipher> cipher, Mode mode,
                                               bool encrypt, ByteView iv, uint32_t counterBits);

// CKM_AES_KEY_WRAP as encryption: the data are gathered and wrapped or
// unwrapped at the end.
std::unique_ptr<CipherOperation> makeKeyWrapCipher(std::shared_ptr<const BlockCipher> cipher,
                                                   bool encrypt, const uint8_t iv[8]);

}  // namespace vexa::sim::crypto
