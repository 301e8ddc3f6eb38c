// The service manager as a service object sees it, over the system's
// dispatcher functions.
#include "platform/service_dispatcher.h"

namespace vexa::platform {

namespace {
class SystemServiceManagerLink final : public IServiceManagerLink {
public:
    ServiceStatusHandle registerControlHandler(const char* serviceName,
                                               ServiceControlHandler handler,
                                               SystemErrorCode* error) override {
        return registerServiceControlHandler(serviceName, handler, error);
    }
    void setStatus(ServiceStatusHandle handle, const ServiceStatus& status) override {
        setServiceStatus(handle, status);
    }
    void logEvent(const char* source, EventType type, const char* message) override {
        reportServiceEvent(source, type, message);
    }
};
}  // namespace

IServiceManagerLink& systemServiceManagerLink() {
    static SystemServiceManagerLink link;
    return link;
}

}  // namespace vexa::platform
