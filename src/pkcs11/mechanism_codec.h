// A CK_MECHANISM as the Mechanism message of a request. Four forms:
//
//   generic  type, parameter_length (always present), parameter = the
//            ulParameterLen bytes at pParameter (empty when there are none)
//   OAEP     CKM_RSA_PKCS_OAEP: type and oaep (hash_alg, mgf, source, and
//            the source data when the caller gives some)
//   ECDH     CKM_ECDH1_DERIVE: type and ecdh (kdf, and the public data when
//            the caller gives some; the shared data is never sent)
//   bare     type and parameter, without parameter_length
//
// Structured parameters of the generic and bare forms travel in the
// device's 32-bit layout (pkcs11/parameter_blocks.h); a block of the wrong
// size gives CKR_MECHANISM_PARAM_INVALID.
// The parameter blocks of OAEP and ECDH are read as the host lays them out:
// ulParameterLen must be the host's sizeof of CK_RSA_PKCS_OAEP_PARAMS or
// CK_ECDH1_DERIVE_PARAMS. A CK_ULONG that does not fit the wire's uint32, a
// null pParameter with a nonzero ulParameterLen, or a parameter block that
// breaks these rules gives CKR_ARGUMENTS_BAD, and the request must then be
// discarded unsent.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <vector>

#include "log/log_target.h"
#include "rpc/byte_fields.h"
#include "vexa.pb.h"

namespace vexa::pkcs11 {

// The byte strings that an encoded mechanism points at. It belongs to the
// caller and must live until the request has been sent; so must the
// caller's CK_MECHANISM and its parameter block.
struct MechanismScratch {
    std::vector<uint8_t> block;  // a structured parameter in the device's layout
    rpc::ByteInput parameter;
    rpc::ByteInput extra;  // OAEP source data or ECDH public data
};

// False for a null pParameter with a nonzero ulParameterLen: such a
// mechanism is refused before any parameter is read, in every form.
constexpr bool parameterConsistent(const CK_MECHANISM& mechanism) noexcept {
    return mechanism.pParameter != nullptr || mechanism.ulParameterLen == 0;
}

// Writes "<prefix>Mechanism: 0x" and the type as 8 lowercase hex digits at
// DEBUG. Wrap and unwrap pass their own prefix ("Wrap ", "Unwrap ").
void logMechanism(talvoranth::ILogTarget& log, const char* prefix, CK_MECHANISM_TYPE type);

// The mechanism of an init or derive call: OAEP or ECDH form for those two
// types, generic form otherwise. Logs the "Mechanism: 0x" line first.
// Returns CKR_OK or CKR_ARGUMENTS_BAD; sets request.mechanism present.
CK_RV encodeMechanism(talvoranth::ILogTarget& log, Request& request, const CK_MECHANISM& mechanism,
                      MechanismScratch& scratch);

// The generic form, whatever the type, without a log line (callers that
// need one write it first). CKR_OK or CKR_ARGUMENTS_BAD.
CK_RV encodeGenericMechanism(Request& request, const CK_MECHANISM& mechanism,
                             MechanismScratch& scratch);

// The bare form, without a log line: C_DigestInit and key generation.
// CKR_OK or CKR_ARGUMENTS_BAD.
CK_RV encodeBareMechanism(Request& request, const CK_MECHANISM& mechanism,
                          MechanismScratch& scratch);

}  // namespace vexa::pkcs11
