// The module's only memory of a session: which slot's device issued it and
// the number that device gave it, so that later calls with the handle reach
// the same device. The table has its own lock: application threads open and
// close sessions at once.
//
// The application sees the device's own number whenever no session of
// another slot holds it. Every device numbers its sessions alike (1, 2, ...),
// so with several devices the same number comes from two of them; the later
// one then gets a number of the module's own, which keeps both sessions on
// their device.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace vexa::pkcs11 {

// Where an application's session handle leads.
struct SessionRoute {
    int32_t slot = -1;
    uint32_t deviceHandle = 0;  // the number the device knows the session by
    CK_FLAGS flags = 0;         // as C_OpenSession gave them: to open it again
};

class CSessionTable {
public:
    // The application's handle for a session that the device of `slot` has
    // just opened with `flags`. A handle still mapped to the same slot and
    // device number (a session the device ended and then reused the number
    // of) is re-used.
    CK_SESSION_HANDLE add(int32_t slot, uint32_t deviceHandle, CK_FLAGS flags = 0);
    void remove(CK_SESSION_HANDLE handle);
    // The session was opened again on its device under a new number; the
    // application's handle stays. False when the handle is gone meanwhile.
    bool repoint(CK_SESSION_HANDLE handle, uint32_t deviceHandle);
    // The route of a handle, or nothing when the handle is unknown.
    std::optional<SessionRoute> find(CK_SESSION_HANDLE handle) const;
    // The application's handles of the sessions it opened on `slot`.
    std::vector<CK_SESSION_HANDLE> handlesOf(int32_t slot) const;
    // The same with their routes, in the order of the handles.
    std::vector<std::pair<CK_SESSION_HANDLE, SessionRoute>> routesOf(int32_t slot) const;
    void clear();
    size_t size() const;

private:
    // The module's own numbers start here, far from the small numbers that
    // devices give out, and skip every number in use.
    static constexpr CK_SESSION_HANDLE kFirstOwnHandle = 0x80000001;

    mutable std::mutex mutex_;
    std::map<CK_SESSION_HANDLE, SessionRoute> routes_;
    CK_SESSION_HANDLE nextOwnHandle_ = kFirstOwnHandle;
};

}  // namespace vexa::pkcs11
