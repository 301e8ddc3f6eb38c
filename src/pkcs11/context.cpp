#include "pkcs11/context.h"

#include "rpc/envelope.h"

namespace vexa::pkcs11 {
namespace {

// Set once under the process-wide mutex, then only read.
std::atomic<CContext*> g_instance{nullptr};
// The context that instance() created (not one a test put in place).
std::atomic<CContext*> g_created{nullptr};

// The context lives as long as the module is loaded. When the module is
// unloaded (dlclose, or the end of the process) after C_Finalize, it is
// freed with its log file; a module unloaded while still initialised keeps
// it, since another thread may be inside a call.
struct CContextReleaser {
    ~CContextReleaser() {
        CContext* created = g_created.load(std::memory_order_acquire);
        if (created != nullptr && !created->initialised() &&
            g_instance.load(std::memory_order_acquire) == created) {
            g_instance.store(nullptr, std::memory_order_release);
            g_created.store(nullptr, std::memory_order_release);
            delete created;
        }
    }
};
CContextReleaser g_releaser;

// The envelope's exchange through the slots, with the options of one call:
// a read time-out of its own (key generation), bound to the connection of
// its session number.
class CCallExchanger : public rpc::IExchanger {
public:
    CCallExchanger(CSlotTable& slots, std::optional<int> timeoutMs, bool boundToConnection)
        : slots_(slots), timeoutMs_(timeoutMs), bound_(boundToConnection) {}
    size_t exchange(int32_t slot, uint8_t* buffer, size_t capacity, size_t length) override {
        return slots_.exchangeWith(slot, buffer, capacity, length, timeoutMs_, bound_);
    }

private:
    CSlotTable& slots_;
    std::optional<int> timeoutMs_;
    bool bound_;
};

}  // namespace

CContext::CContext() : hooks_(talvoranth::hidDeviceHooks()), slots_(*this) {
    slots_.setRestorer(&restorer_);
    talvoranth::loadModuleConfig(*this, config_);
    if (config_.ipTransport) {
        hooks_ = talvoranth::ipDeviceHooks();
    }
    log(talvoranth::LOG_DEBUG, "New Instance");
}

CContext::CContext(const talvoranth::ModuleConfig& config, talvoranth::DeviceHooks hooks,
                   std::ostream* console)
    : CLogger(console), config_(config), hooks_(std::move(hooks)), slots_(*this) {
    slots_.setRestorer(&restorer_);
    log(talvoranth::LOG_DEBUG, "New Instance");
}

CContext::~CContext() = default;

CContext& CContext::instance() {
    CContext* context = g_instance.load(std::memory_order_acquire);
    if (context != nullptr) {
        return *context;
    }
    std::lock_guard<std::mutex> lock(processMutex());
    context = g_instance.load(std::memory_order_acquire);
    if (context == nullptr) {
        // Kept until the module is unloaded (CContextReleaser).
        context = new CContext();
        g_created.store(context, std::memory_order_release);
        g_instance.store(context, std::memory_order_release);
    }
    return *context;
}

CContext* CContext::existingInstance() {
    return g_instance.load(std::memory_order_acquire);
}

CContext* CContext::replaceInstance(CContext* context) {
    std::lock_guard<std::mutex> lock(processMutex());
    return g_instance.exchange(context, std::memory_order_acq_rel);
}

CK_RV CContext::routeSlot(CK_SLOT_ID slotId, int32_t& slot) {
    std::optional<int32_t> found = slots_.find(slotId);
    if (!found) {
        return CKR_SLOT_ID_INVALID;
    }
    slot = *found;
    slots_.setCurrentSlot(slot);
    return CKR_OK;
}

CK_RV CContext::bindSession(Request& request, CK_SESSION_HANDLE session, int32_t& slot) {
    std::optional<SessionRoute> route = sessions_.find(session);
    if (!route || route->slot < 0) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    // A new connection gets the sessions back first; the number is then
    // the one this connection knows.
    if (!slots_.prepare(route->slot)) {
        log(talvoranth::LOG_ERROR, "no response from transport.");
        return CKR_FUNCTION_FAILED;
    }
    route = sessions_.find(session);
    if (!route || route->slot < 0) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    slot = route->slot;
    slots_.setCurrentSlot(slot);
    // The device knows the session by its own number.
    request.has_session = true;
    request.session = route->deviceHandle;
    return CKR_OK;
}

CK_RV CContext::callFunction(int32_t slot, const Request& request, Response& response, bool clear) {
    CCallExchanger exchanger(slots_, std::nullopt, request.has_session);
    return rpc::callFunction(*this, exchanger, slot, request, response, clear);
}

CK_RV CContext::callFunctionForKeyGeneration(int32_t slot, const Request& request,
                                             Response& response, bool clear) {
    CCallExchanger exchanger(slots_, config_.keyTimeoutMs, request.has_session);
    return rpc::callFunction(*this, exchanger, slot, request, response, clear);
}

}  // namespace vexa::pkcs11
