// The envelope's exchange over one transport that the caller already holds
// open (and has locked, where that matters): write the request, read the
// reply. For the steps that run inside another exchange's turn: clearing a
// device, restoring a module's sessions after a new connection.
#pragma once

#include "log/log_target.h"
#include "rpc/envelope.h"
#include "transport/transport.h"

namespace vexa::rpc {

class CTransportExchanger : public IExchanger {
public:
    CTransportExchanger(talvoranth::CTransport& transport, talvoranth::ILogTarget& log)
        : transport_(transport), log_(log) {}

    // Whatever the slot. A transport failure is logged and gives 0.
    size_t exchange(int32_t slot, uint8_t* buffer, size_t capacity, size_t length) override;

private:
    talvoranth::CTransport& transport_;
    talvoranth::ILogTarget& log_;
};

}  // namespace vexa::rpc
