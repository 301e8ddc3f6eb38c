// Writing results into the application's memory the way PKCS#11 wants it:
// device outputs and lists with the size-query / too-small convention, and
// blank-padded text fields without a terminating zero.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstring>

#include "pkcs11/device_call.h"
#include "rpc/byte_fields.h"

namespace vexa::pkcs11 {

// The output-buffer convention of the device calls that return bytes into
// the application's buffer (encryption, decryption, signing, digesting,
// key wrapping, random data):
//   request   out_capacity = *pulOutLen when the length pointer is given
//             (a size query states the capacity its QueryCapacity says);
//             length_only = true when the output pointer is null (except
//             QueryCapacity::CapacityOnly)
//   response  Response.data straight into pOut, refused beyond *pulOutLen
//   after     *pulOutLen = the bytes received by a successful call,
//             else the device's `length`, else unchanged
// The length is never taken from a reply that failed to arrive or decode.
class COutput {
public:
    COutput(CK_BYTE_PTR pOut, CK_ULONG_PTR pulOutLen) : pOut_(pOut), pulOutLen_(pulOutLen) {}

    // What a size query (null pOut) states as out_capacity besides
    // length_only.
    enum class QueryCapacity {
        Caller,  // the caller's *pulOutLen
        Zero,    // 0: a device that reads only the capacity answers with the
                 // length alone (CKR_BUFFER_TOO_SMALL) and ends nothing
        // For calls whose request has no length_only (C_WrapKey): the
        // request carries out_capacity alone, 0 for a size query; bytes a
        // device sends to a size query anyway are counted, not stored, and
        // their count answers it when no length is stated. A capacity
        // beyond the wire's range is cut to its largest value.
        CapacityOnly,
    };

    // Fills the request's size fields and binds Response.data to pOut with
    // the capacity *pulOutLen (0 without a length pointer).
    // CKR_ARGUMENTS_BAD when *pulOutLen cannot be carried (except
    // QueryCapacity::CapacityOnly).
    CK_RV prepare(CDeviceCall& call, QueryCapacity query = QueryCapacity::Caller);
    // Writes *pulOutLen from the answer; returns rv. A size query answered
    // with CKR_BUFFER_TOO_SMALL and a length (or counted bytes) has its
    // answer: CKR_OK.
    CK_RV report(CK_RV rv, const Response& response) const;

    size_t received() const { return output_.received; }

private:
    CK_BYTE_PTR pOut_;
    CK_ULONG_PTR pulOutLen_;
    rpc::ByteOutput output_;
};

// A list of `count` items into out[] with room for *pulCount items:
//   out NULL           -> *pulCount = count, CKR_OK (a size query)
//   room below count   -> *pulCount = count, CKR_BUFFER_TOO_SMALL, out untouched
//   otherwise          -> fill(out) writes the items, *pulCount = count, CKR_OK
// The caller has checked that pulCount is not NULL.
template <class T, class Fill>
CK_RV writeList(T* out, CK_ULONG_PTR pulCount, CK_ULONG count, Fill&& fill) {
    if (out == nullptr) {
        *pulCount = count;
        return CKR_OK;
    }
    const CK_ULONG room = *pulCount;
    *pulCount = count;
    if (room < count) {
        return CKR_BUFFER_TOO_SMALL;
    }
    fill(out);
    return CKR_OK;
}

// A PKCS#11 text field: `text` at the start, blanks to the end, no zero.
// A text longer than the field is cut.
template <size_t N>
void copyPadded(unsigned char (&field)[N], const char* text) {
    std::memset(field, ' ', N);
    const size_t length = std::strlen(text);
    std::memcpy(field, text, length < N ? length : N);
}

}  // namespace vexa::pkcs11
