// The crypto engine of the virtual device: starts operations from a
// mechanism and a key, and runs their steps under PKCS#11's output
// convention. Handlers give it decoded requests and the objects they found;
// it never sees the wire.
//
// Outputs follow the rule of sim/crypto/output.h; a size query of a cipher
// step answers the upper bound of the length.
#pragma once

#include <optional>

#include "sim/crypto/mechanisms.h"
#include "sim/crypto/output.h"
#include "sim/crypto/rng.h"
#include "sim/crypto/session_ops.h"
#include "sim/objects/object.h"

namespace vexa::sim::crypto {

// Whether `key` (nullptr: no such visible object) may serve `op` under `m`:
// CKR_KEY_HANDLE_INVALID, CKR_KEY_TYPE_INCONSISTENT (wrong class or key
// type), CKR_KEY_FUNCTION_NOT_PERMITTED (its usage attribute is false).
Rv checkKey(const Object* key, const MechanismInfo& m, OpFlag op);

Rv makeCipher(const MechanismInfo& m, const DeviceMechanism& dm, const Object& key, bool encrypt,
              Rng rng, std::unique_ptr<CipherOperation>* out);
Rv makeSigner(const MechanismInfo& m, const DeviceMechanism& dm, const Object& key, bool sign,
              Rng rng, std::unique_ptr<SignOperation>* out);

// `contextLogin` is the session's context-specific login flag; a key with
// CKA_ALWAYS_AUTHENTICATE needs it set before its operation yields output,
// and each such operation consumes it.
using CipherSlot = OperationSlot<CipherOperation>;
using SignSlot = OperationSlot<SignOperation>;
using DigestSlot = OperationSlot<Hasher>;

Rv cipherInit(CipherSlot& slot, bool encrypt, const DeviceMechanism& dm, const Object* key,
              Rng rng);
Rv cipherStep(CipherSlot& slot, Step step, ByteView in, const OutputSpec& wanted, Output* out,
              bool* contextLogin);

Rv signInit(SignSlot& slot, bool sign, const DeviceMechanism& dm, const Object* key, Rng rng);
Rv signUpdate(SignSlot& slot, ByteView part, bool* contextLogin);
// C_Sign (`data` given) and C_SignFinal (`data` null).
Rv signFinish(SignSlot& slot, const ByteView* data, const OutputSpec& wanted, Output* out,
              bool* contextLogin);
// C_Verify (`data` given) and C_VerifyFinal (`data` null).
Rv verifyFinish(SignSlot& slot, const ByteView* data, ByteView signature);

Rv digestInit(DigestSlot& slot, const DeviceMechanism& dm);
Rv digestUpdate(DigestSlot& slot, ByteView part);
// C_DigestKey: the value of a secret key joins the digest
// (CKR_KEY_INDIGESTIBLE for other objects).
Rv digestKey(DigestSlot& slot, const Object* key);
Rv digestFinal(DigestSlot& slot, const OutputSpec& wanted, Output* out);

}  // namespace vexa::sim::crypto
