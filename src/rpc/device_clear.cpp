#include "rpc/device_clear.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "rpc/envelope.h"
#include "rpc/function_ids.h"

namespace vexa::rpc {
namespace {

class SilentLog : public talvoranth::ILogTarget {
public:
    void log(int, const char*, ...) override {}
    void log(int, const std::string&) override {}
};

// The envelope's exchange over one transport, whatever the slot.
class TransportExchanger : public IExchanger {
public:
    TransportExchanger(talvoranth::CTransport& transport, talvoranth::ILogTarget& log)
        : transport_(transport), log_(log) {}

    size_t exchange(int32_t /*slot*/, uint8_t* buffer, size_t capacity, size_t length) override {
        try {
            transport_.write(buffer, static_cast<int>(length));
            const int received = transport_.read(
                buffer,
                static_cast<int>(std::min<size_t>(capacity, std::numeric_limits<int>::max())));
            return received > 0 ? std::min(static_cast<size_t>(received), capacity) : 0;
        } catch (const std::exception& e) {
            log_.log(talvoranth::LOG_ERROR, std::string(e.what()));
            return 0;
        }
    }

private:
    talvoranth::CTransport& transport_;
    talvoranth::ILogTarget& log_;
};

}  // namespace

CK_RV closeAllDeviceSessions(talvoranth::CTransport& transport, talvoranth::ILogTarget* log) {
    SilentLog silent;
    talvoranth::ILogTarget& target = log != nullptr ? *log : silent;
    TransportExchanger exchanger(transport, target);
    Request request = Request_init_zero;
    request.function_id = static_cast<uint32_t>(FunctionId::CloseAllSessions);
    Response response = Response_init_zero;
    return callFunction(target, exchanger, 0, request, response, true);
}

}  // namespace vexa::rpc
