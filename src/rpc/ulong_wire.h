// How a PKCS#11 CK_ULONG travels. The host's CK_ULONG is 8 bytes; every
// CK_ULONG field of the remote-call schema is a uint32. These are the only
// conversions between the two, used by every function family.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>

namespace vexa::rpc {

constexpr uint32_t kWireUnavailable = 0xFFFFFFFFu;

// Host to wire. Values up to 0xFFFFFFFF go unchanged and
// CK_UNAVAILABLE_INFORMATION (all ones) becomes 0xFFFFFFFF. Any other value
// wider than 32 bits cannot be carried: false, and the caller answers
// CKR_ARGUMENTS_BAD before anything is sent.
constexpr bool ulongToWire(CK_ULONG value, uint32_t& wire) noexcept {
    if (value == CK_UNAVAILABLE_INFORMATION) {
        wire = kWireUnavailable;
        return true;
    }
    if (value > kWireUnavailable) {
        return false;
    }
    wire = static_cast<uint32_t>(value);
    return true;
}

// Wire to host for values, handles, flags and return codes: zero-extended.
constexpr CK_ULONG ulongFromWire(uint32_t wire) noexcept {
    return wire;
}

// Wire to host for lengths, counts and sizes: 0xFFFFFFFF means
// CK_UNAVAILABLE_INFORMATION; every other value is zero-extended.
constexpr CK_ULONG lengthFromWire(uint32_t wire) noexcept {
    return wire == kWireUnavailable ? CK_UNAVAILABLE_INFORMATION : CK_ULONG{wire};
}

}  // namespace vexa::rpc
