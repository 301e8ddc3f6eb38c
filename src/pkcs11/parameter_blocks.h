// Structured mechanism parameters in the device's layout. The host lays a
// parameter block out with 8-byte CK_ULONGs and pointers; the device reads
// every CK_ULONG as a little-endian uint32, byte arrays as they are, no
// padding, and can follow no pointer. So a block travels as its non-pointer
// fields in order, followed by the bytes each pointer field points at (in
// the order of the pointer fields):
//
//   CK_RSA_PKCS_PSS_PARAMS          hashAlg, mgf, sLen                     12
//   CK_RSA_PKCS_OAEP_PARAMS         hashAlg, mgf, source, ulSourceDataLen,
//                                   then the source data                  16 + n
//   CK_AES_CTR_PARAMS               ulCounterBits, cb[16]                  20
//   CK_GCM_PARAMS                   ulIvLen, ulIvBits, ulAADLen, ulTagBits,
//                                   then the IV, then the AAD             16 + n
//   CK_KEY_DERIVATION_STRING_DATA   ulLen, then the data                   4 + n
//   CK_DES_CBC_ENCRYPT_DATA_PARAMS  iv[8], length, then the data          12 + n
//   CK_AES_CBC_ENCRYPT_DATA_PARAMS  iv[16], length, then the data         20 + n
//
// Every other parameter is a plain byte string (an IV, a public value) and
// travels as it is.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace vexa::pkcs11 {

enum class BlockResult {
    Plain,      // not a structured parameter: send the caller's bytes
    Converted,  // `out` holds the device's layout
    Refused,    // wrong size, a value beyond 32 bits, or a null pointer
                // with a nonzero length: CKR_MECHANISM_PARAM_INVALID
};

// Converts the parameter block of `mechanism` (whose pParameter is
// consistent with ulParameterLen) into `out`.
BlockResult toDeviceLayout(const CK_MECHANISM& mechanism, std::vector<uint8_t>& out);

// Copies the parameter block of `mechanism` (whose pParameter is consistent
// with ulParameterLen) into `block`, which may sit at another alignment than
// the caller's; false when its length is not the host's sizeof(Block).
template <class Block>
bool readBlock(const CK_MECHANISM& mechanism, Block& block) {
    if (mechanism.ulParameterLen != sizeof(Block)) {
        return false;
    }
    std::memcpy(&block, mechanism.pParameter, sizeof block);
    return true;
}

}  // namespace vexa::pkcs11
