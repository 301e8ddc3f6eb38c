// The module's only memory of a session: which slot the device that issued
// its handle sits in, so that later calls with that handle reach the same
// device. Handles are the devices' own numbers, never translated. The table
// has its own lock: application threads open and close sessions at once.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

namespace vexa::pkcs11 {

class CSessionTable {
public:
    // Remembers (or re-points) a handle.
    void add(CK_SESSION_HANDLE handle, int32_t slot);
    void remove(CK_SESSION_HANDLE handle);
    // The slot of a handle, or nothing when the handle is unknown.
    std::optional<int32_t> find(CK_SESSION_HANDLE handle) const;
    void clear();
    size_t size() const;

private:
    mutable std::mutex mutex_;
    std::map<CK_SESSION_HANDLE, int32_t> slots_;
};

}  // namespace vexa::pkcs11
