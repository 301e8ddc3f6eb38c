// What a process that forks sees of the module. The child of a fork gets a
// module that is not initialised: its C_Initialize succeeds and opens
// connections of its own. The context the child inherited (with the
// parent's TLS sessions and HID handles) is set aside and never used,
// closed or destroyed there: a close would send the parent's TLS session a
// close-notify alert, or shut down a socket the parent still uses.
#pragma once

namespace vexa::pkcs11 {

// Registers the fork handlers once per loaded module (this happens when the
// module is loaded; C_Initialize makes sure of it); later calls do nothing.
// Before the fork, the handlers wait for the process-wide mutex, so that
// the child never inherits it locked by a thread that does not exist there.
void installForkGuard();

}  // namespace vexa::pkcs11
