// CK_ULONG values that the wire's 32 bits cannot carry. They exist only
// where the host's CK_ULONG is wider (8 bytes on 64-bit Linux); on Windows
// CK_ULONG has 32 bits, every value travels, and the tests of the refusal
// have nothing to test.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>

namespace vexa::test {

inline constexpr bool kHostUlongIsWide = sizeof(CK_ULONG) > 4;

// 1 << shift as a CK_ULONG (0 where CK_ULONG is too narrow for it).
inline constexpr CK_ULONG wideUlong(unsigned shift) {
    return static_cast<CK_ULONG>(uint64_t{1} << shift);
}

}  // namespace vexa::test

// Skips the rest of a test on hosts whose CK_ULONG has 32 bits.
#define VEXA_SKIP_UNLESS_WIDE_ULONG()    \
    if (!::vexa::test::kHostUlongIsWide) \
    GTEST_SKIP() << "CK_ULONG has 32 bits here"
