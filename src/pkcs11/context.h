// The module context: the one object behind the exported C_ functions. It
// owns the configuration read from "vexaconfig.json", the log (it is the
// log target of every transport), the device hooks, the slots with their
// transports and exchange lock, the session table and the initialised flag.
// The function families reach devices through it: route by slot or by
// session, then callFunction.
#pragma once

#include <p11-kit/pkcs11.h>

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <optional>

#include "config/module_config.h"
#include "log/logger.h"
#include "pkcs11/held_signatures.h"
#include "pkcs11/login_keeper.h"
#include "pkcs11/session_restore.h"
#include "pkcs11/session_table.h"
#include "pkcs11/slot_table.h"
#include "pkcs11/device_selection.h"
#include "vexa.pb.h"

namespace vexa::pkcs11 {

class CContext : public talvoranth::CLogger {
public:
    // The process-wide context: reads "vexaconfig.json" (which sets the log
    // and may switch the hooks to a remote daemon), installs the hooks.
    CContext();
    // A context with the given settings and hooks and no configuration file.
    // Console lines go to *console when given.
    CContext(const talvoranth::ModuleConfig& config, talvoranth::DeviceHooks hooks,
             std::ostream* console = nullptr);
    ~CContext() override;

    // The process-wide context, created under the process-wide mutex on first
    // use and kept until the module is unloaded after C_Finalize.
    static CContext& instance();
    // Puts `context` (owned by the caller, or null to create the usual one
    // on next use) in place of the process-wide context; returns the previous
    // one. For tests that drive the exported functions against fakes.
    static CContext* replaceInstance(CContext* context);
    // The process-wide context if it exists yet, else null; never creates it.
    static CContext* existingInstance();

    const talvoranth::ModuleConfig& config() const { return config_; }
    const talvoranth::DeviceHooks& hooks() const { return hooks_; }
    CSlotTable& slots() { return slots_; }
    CSessionTable& sessions() { return sessions_; }
    CLoginKeeper& logins() { return logins_; }
    CHeldSignatures& heldSignatures() { return heldSignatures_; }
    bool initialised() const { return initialised_.load(std::memory_order_acquire); }

    // --- Lifecycle (C_Initialize, C_Finalize) ---
    CK_RV initialize(CK_VOID_PTR pInitArgs);
    CK_RV finalize(CK_VOID_PTR pReserved);
    // Sends the current UTC time to the device of `slot`; true when it
    // answered CKR_OK.
    bool setDeviceClock(int32_t slot);

    // --- Routing and the envelope ---
    // The slot of an application's slot id: CKR_SLOT_ID_INVALID when there is
    // no such slot.
    CK_RV routeSlot(CK_SLOT_ID slotId, int32_t& slot);
    // The slot of a session, and request.session set to the number its
    // device knows it by: CKR_SESSION_HANDLE_INVALID for a handle the module
    // did not hand out (or mapped to no slot), before any exchange. The
    // slot's transport is brought up first (CSlotTable::prepare), so that
    // the number is that of the current connection: CKR_FUNCTION_FAILED
    // when the device cannot be reached, CKR_SESSION_HANDLE_INVALID when
    // the session could not be opened again on a new connection.
    CK_RV bindSession(Request& request, CK_SESSION_HANDLE session, int32_t& slot);
    // One request/response exchange with the device of `slot`: the response's
    // rv (rpc::callFunction). A request bound to a session is sent only over
    // the connection its number was taken on.
    CK_RV callFunction(int32_t slot, const Request& request, Response& response, bool clear);
    // The same under the key-generation time limit of the configuration.
    CK_RV callFunctionForKeyGeneration(int32_t slot, const Request& request, Response& response,
                                       bool clear);
    // The slot last routed, -1 after C_Initialize, 0xFFFFFF after a
    // successful exchange. Shared by all threads, so it shows what the latest
    // call of any thread did; no call relies on it.
    int32_t currentSlot() const { return slots_.currentSlot(); }

private:
    talvoranth::ModuleConfig config_;
    talvoranth::DeviceHooks hooks_;
    CSlotTable slots_;
    CSessionTable sessions_;
    CLoginKeeper logins_;
    CSessionRestorer restorer_{sessions_, logins_, *this};
    CHeldSignatures heldSignatures_;
    std::atomic<bool> initialised_{false};
    // C_Initialize and C_Finalize run one at a time.
    std::mutex lifecycleMutex_;
};

}  // namespace vexa::pkcs11
