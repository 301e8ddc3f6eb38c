#include "pkcs11/fork_guard.h"

#include <mutex>
#include <vector>

#include "pkcs11/context.h"
#include "pkcs11/exchange_lock.h"
#include "platform/platform.h"

namespace vexa::pkcs11 {
namespace {

// Contexts inherited from a parent process. They stay reachable here, and
// untouched, for as long as the child lives.
std::vector<CContext*>& inheritedContexts() {
    static auto* contexts = new std::vector<CContext*>();
    return *contexts;
}

void beforeFork() {
    processMutex().lock();
}

void inParentAfterFork() {
    processMutex().unlock();
}

void inChildAfterFork() {
    processMutex().unlock();
    // The child is single-threaded here. Its next call creates a fresh
    // context; the inherited one may hold locks of threads that are gone
    // and connections that belong to the parent.
    CContext* inherited = CContext::replaceInstance(nullptr);
    if (inherited != nullptr) {
        // The parent's PINs are not the child's to keep.
        inherited->logins().wipeInForkedChild();
        inheritedContexts().push_back(inherited);
    }
}

}  // namespace

void installForkGuard() {
    static std::once_flag once;
    // Systems without fork have nothing to guard.
    std::call_once(once, [] {
        platform::registerForkHandlers(beforeFork, inParentAfterFork, inChildAfterFork);
    });
}

namespace {

// Registered when the module is loaded, so that a fork during the first
// C_Initialize is covered too. (Unloading the module unregisters them.)
[[maybe_unused]] const bool g_guardedFromLoad = (installForkGuard(), true);

}  // namespace

}  // namespace vexa::pkcs11
