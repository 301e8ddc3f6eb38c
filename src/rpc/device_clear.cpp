#include "rpc/device_clear.h"

#include "rpc/envelope.h"
#include "rpc/function_ids.h"
#include "rpc/transport_exchanger.h"

namespace vexa::rpc {
namespace {

class SilentLog : public talvoranth::ILogTarget {
public:
    void log(int, const char*, ...) override {}
    void log(int, const std::string&) override {}
};

}  // namespace

CK_RV closeAllDeviceSessions(talvoranth::CTransport& transport, talvoranth::ILogTarget* log) {
    SilentLog silent;
    talvoranth::ILogTarget& target = log != nullptr ? *log : silent;
    CTransportExchanger exchanger(transport, target);
    Request request = Request_init_zero;
    request.function_id = static_cast<uint32_t>(FunctionId::CloseAllSessions);
    Response response = Response_init_zero;
    return callFunction(target, exchanger, 0, request, response, true);
}

}  // namespace vexa::rpc
