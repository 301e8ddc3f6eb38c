// Writing results into the application's memory the way PKCS#11 wants it:
// lists with the size-query / too-small convention, and blank-padded text
// fields without a terminating zero.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstring>

namespace vexa::pkcs11 {

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
