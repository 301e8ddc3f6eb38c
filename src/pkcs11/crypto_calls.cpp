#include "pkcs11/crypto_calls.h"

#include <algorithm>
#include <cstring>

#include "rpc/ulong_wire.h"

namespace vexa::pkcs11 {

CK_RV COutput::prepare(CDeviceCall& call, QueryCapacity query) {
    Request& request = call.request();
    if (pOut_ == nullptr) {
        request.has_length_only = true;
        request.length_only = true;
    }
    if (pulOutLen_ != nullptr) {
        const CK_ULONG capacity =
            pOut_ == nullptr && query == QueryCapacity::Zero ? 0 : *pulOutLen_;
        if (!CDeviceCall::setUlong(request.out_capacity, request.has_out_capacity, capacity)) {
            return CKR_ARGUMENTS_BAD;
        }
    }
    if (pOut_ != nullptr) {
        output_ = rpc::ByteOutput{pOut_, pulOutLen_ != nullptr ? *pulOutLen_ : 0};
        rpc::bindOutput(call.response().data, output_);
    }
    return CKR_OK;
}

CK_RV COutput::report(CK_RV rv, const Response& response) const {
    // A reply that did not decode may hold any length: keep the caller's.
    if (pulOutLen_ == nullptr || rv == CKR_FUNCTION_FAILED) {
        return rv;
    }
    if (rv == CKR_OK && pOut_ != nullptr) {
        // What the buffer really holds, even if the device stated otherwise:
        // a length beyond the bytes placed would send the caller reading
        // past them, or past its buffer.
        *pulOutLen_ = output_.received;
    } else if (response.has_length) {
        *pulOutLen_ = rpc::lengthFromWire(response.length);
        // A device that judged the size query by its capacity alone still
        // told the length the caller asked for.
        if (pOut_ == nullptr && rv == CKR_BUFFER_TOO_SMALL) {
            return CKR_OK;
        }
    }
    return rv;
}

namespace {

using rpc::FunctionId;

// The largest block of the device's ciphers (AES), which padding adds and an
// update may release from what it held back.
constexpr CK_ULONG kLargestBlock = 16;

FunctionId cipherFinalOf(FunctionId id) {
    switch (id) {
        case FunctionId::Decrypt:
        case FunctionId::DecryptUpdate:
        case FunctionId::DecryptFinal:
            return FunctionId::DecryptFinal;
        default:
            return FunctionId::EncryptFinal;
    }
}

// One exchange of encryption or decryption under the output-buffer
// convention.
CK_RV processOnce(CContext& context, CK_SESSION_HANDLE hSession, FunctionId id, CK_BYTE_PTR pIn,
                  CK_ULONG ulInLen, CK_BYTE_PTR pOut, CK_ULONG_PTR pulOutLen) {
    CDeviceCall call(id);
    COutput output(pOut, pulOutLen);
    const CK_RV rv = sendRouted(context, call, hSession, [&] {
        if (pIn != nullptr) {
            call.setData(pIn, ulInLen);
        }
        return output.prepare(call);
    });
    return output.report(rv, call.response());
}

// Output of one piece or of the final part: straight into the caller's
// buffer while it has room for the most a piece can yield, else through a
// scratch buffer, so that the device never meets a capacity it cannot fill
// in the middle of the data. *written grows by the bytes made; `room` is
// what the caller's buffer has left (0 once it is full).
CK_RV pieceInto(CContext& context, CK_SESSION_HANDLE hSession, FunctionId id, CK_BYTE_PTR pIn,
                CK_ULONG ulInLen, CK_BYTE_PTR pOut, CK_ULONG room, CK_ULONG* written) {
    // A piece yields at most its length and one held-back block.
    constexpr CK_ULONG kSlack = 32;
    CK_BYTE scratch[kUpdatePiece + kSlack];
    const bool direct = room >= ulInLen + kSlack;
    CK_ULONG length = direct ? room : sizeof scratch;
    const CK_RV rv =
        processOnce(context, hSession, id, pIn, ulInLen, direct ? pOut : scratch, &length);
    if (rv != CKR_OK) {
        return rv;
    }
    if (!direct && length <= room) {
        std::memcpy(pOut, scratch, length);
    }
    *written += length;
    return CKR_OK;
}

// C_Encrypt, C_Decrypt or an update of more data than one request holds:
// updates of at most kUpdatePiece bytes (then the final part for a single
// part), the outputs laid one after the other into the caller's buffer. A
// size query is answered without the device with a length that suffices
// (the data plus a block that padding or an update may add), as PKCS#11
// allows. When the output turns out longer than the buffer, the call
// answers CKR_BUFFER_TOO_SMALL with the length it needs; the device has
// then gone past the data (and finished a single-part operation).
CK_RV processInPieces(CContext& context, CK_SESSION_HANDLE hSession, FunctionId id, CK_BYTE_PTR pIn,
                      CK_ULONG ulInLen, CK_BYTE_PTR pOut, CK_ULONG_PTR pulOutLen) {
    const bool single = id == FunctionId::Encrypt || id == FunctionId::Decrypt;
    if (pOut == nullptr) {
        *pulOutLen = id == FunctionId::Decrypt ? ulInLen : ulInLen + kLargestBlock;
        return CKR_OK;
    }
    const bool encrypting = cipherFinalOf(id) == FunctionId::EncryptFinal;
    const FunctionId update = encrypting ? FunctionId::EncryptUpdate : FunctionId::DecryptUpdate;
    const CK_ULONG capacity = *pulOutLen;
    CK_ULONG written = 0;
    const auto roomLeft = [&] { return written < capacity ? capacity - written : 0; };
    for (CK_ULONG offset = 0; offset < ulInLen;) {
        const CK_ULONG piece = std::min(ulInLen - offset, kUpdatePiece);
        const CK_RV rv = pieceInto(context, hSession, update, pIn + offset, piece,
                                   pOut + std::min(written, capacity), roomLeft(), &written);
        if (rv != CKR_OK) {
            return rv;
        }
        offset += piece;
    }
    if (single) {
        const CK_RV rv = pieceInto(context, hSession, cipherFinalOf(id), nullptr, 0,
                                   pOut + std::min(written, capacity), roomLeft(), &written);
        if (rv != CKR_OK) {
            return rv;
        }
    }
    *pulOutLen = written;
    return written > capacity ? CKR_BUFFER_TOO_SMALL : CKR_OK;
}

}  // namespace

CK_RV endOperation(CContext& context, CK_SESSION_HANDLE hSession, FunctionId finalId,
                   CK_RV refusal) {
    // Room for any final part: a signature (RSA 4096), a digest or a block.
    CK_BYTE discard[1024];
    CK_ULONG discardLength = sizeof discard;
    CDeviceCall call(finalId);
    COutput output(discard, &discardLength);
    rpc::ByteOutput sink{discard, sizeof discard};
    sendRouted(context, call, hSession, [&] {
        switch (finalId) {
            case FunctionId::SignFinal:
                rpc::bindOutput(call.response().data, sink);
                return CKR_OK;
            case FunctionId::VerifyFinal:
                // An empty signature never verifies: the device ends the
                // operation with its refusal.
                call.setData(discard, 0);
                return CKR_OK;
            default:
                return output.prepare(call);
        }
    });
    return refusal;
}

CK_RV processData(CContext& context, CK_SESSION_HANDLE hSession, FunctionId id, CK_BYTE_PTR pIn,
                  CK_ULONG ulInLen, CK_BYTE_PTR pOut, CK_ULONG_PTR pulOutLen) {
    // Sending no data in place of the length claimed would encrypt or
    // decrypt something else than the caller asked for, and report success;
    // without a length pointer no output can be reported.
    if ((pIn == nullptr && ulInLen != 0) || pulOutLen == nullptr) {
        return endOperation(context, hSession, cipherFinalOf(id), CKR_ARGUMENTS_BAD);
    }
    if (ulInLen > kUpdatePiece && cipherFinalOf(id) != id) {
        return processInPieces(context, hSession, id, pIn, ulInLen, pOut, pulOutLen);
    }
    return processOnce(context, hSession, id, pIn, ulInLen, pOut, pulOutLen);
}

CK_RV sendInChunks(CContext& context, CK_SESSION_HANDLE hSession, rpc::FunctionId id,
                   CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    CK_ULONG offset = 0;
    do {
        const CK_ULONG piece = std::min(ulPartLen - offset, kUpdatePiece);
        CDeviceCall call(id);
        call.setData(pPart != nullptr ? pPart + offset : nullptr, piece);
        if (CK_RV rv = call.sendToSession(context, hSession); rv != CKR_OK) {
            return rv;
        }
        offset += piece;
    } while (offset < ulPartLen);
    return CKR_OK;
}

}  // namespace vexa::pkcs11
