#include "sim/types/device_types.h"

#include <utility>

namespace vexa::sim {

DeviceAttribute DeviceAttribute::ofUlong(uint32_t type, uint32_t value) {
    DeviceAttribute a;
    a.type = type;
    a.form = Form::Ulong;
    a.ulongValue = value;
    return a;
}

DeviceAttribute DeviceAttribute::ofBool(uint32_t type, bool value) {
    DeviceAttribute a;
    a.type = type;
    a.form = Form::Bool;
    a.boolValue = value;
    return a;
}

DeviceAttribute DeviceAttribute::ofBytes(uint32_t type, Bytes value) {
    DeviceAttribute a;
    a.type = type;
    a.form = Form::Bytes;
    a.length = static_cast<uint32_t>(value.size());
    a.bytes = std::move(value);
    return a;
}

DeviceAttribute DeviceAttribute::ofLength(uint32_t type, uint32_t length) {
    DeviceAttribute a;
    a.type = type;
    a.form = Form::Bytes;
    a.length = length;
    return a;
}

}  // namespace vexa::sim
