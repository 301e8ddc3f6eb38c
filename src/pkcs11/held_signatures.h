// Signatures the device made for a final signing step whose buffer was too
// small. The final request carries no capacity, so the device answers it
// with the signature and ends the operation; the module keeps the signature
// for the application's retry with a larger buffer, as PKCS#11 promises
// that a CKR_BUFFER_TOO_SMALL leaves the operation to be finished.
//
// A new signing operation on the session drops what it held. The store is
// bounded: beyond kMaxHeld sessions the oldest entry goes. Signatures are
// public values; nothing secret is kept.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace vexa::pkcs11 {

class CHeldSignatures {
public:
    static constexpr size_t kMaxHeld = 64;

    void hold(CK_SESSION_HANDLE session, std::vector<uint8_t> signature);
    // The session's held signature, if any (a copy; it stays held).
    std::optional<std::vector<uint8_t>> find(CK_SESSION_HANDLE session) const;
    void drop(CK_SESSION_HANDLE session);

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<CK_SESSION_HANDLE, std::vector<uint8_t>>> held_;  // oldest first
};

}  // namespace vexa::pkcs11
