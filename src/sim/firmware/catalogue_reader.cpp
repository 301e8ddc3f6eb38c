#include "sim/firmware/catalogue_reader.h"

#include "rpc/catalogue.h"

namespace vexa::sim {
namespace {

template <class T>
void keepIf(bool keep, std::optional<T>& field) {
    if (!keep) {
        field.reset();
    }
}

void readMechanism(rpc::MechanismForms forms, DeviceMechanism& m) {
    const uint16_t allowed = rpc::allowedMechanismFields(forms, m.type);
    keepIf((allowed & 1u << 2) != 0, m.parameterLength);
    keepIf((allowed & 1u << 3) != 0, m.parameter);
    keepIf((allowed & 1u << 4) != 0, m.oaep);
    keepIf((allowed & 1u << 5) != 0, m.ecdh);
}

}  // namespace

void readAsCatalogue(DeviceRequest& request) {
    const rpc::RequestShape* shape = rpc::findRequestShape(request.functionId);
    if (shape == nullptr) {
        return;
    }
    const auto has = [&](uint16_t field) { return (shape->allowed & field) != 0; };
    keepIf(has(rpc::kFieldSession), request.session);
    keepIf(has(rpc::kFieldMechanism), request.mechanism);
    keepIf(has(rpc::kFieldData), request.data);
    keepIf(has(rpc::kFieldObject), request.object);
    keepIf(has(rpc::kFieldLengthOnly), request.lengthOnly);
    keepIf(has(rpc::kFieldValue), request.value);
    keepIf(has(rpc::kFieldData2), request.data2);
    keepIf(has(rpc::kFieldOutCapacity), request.outCapacity);
    keepIf(has(rpc::kFieldObject2), request.object2);
    if (!has(rpc::kFieldTemplate)) {
        request.templ.clear();
    }
    if (!has(rpc::kFieldTemplate2)) {
        request.templ2.clear();
    }
    if (request.mechanism) {
        readMechanism(shape->mechanism, *request.mechanism);
    }
}

}  // namespace vexa::sim
