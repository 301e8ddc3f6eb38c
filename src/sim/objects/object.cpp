#include "sim/objects/object.h"

#include <p11-kit/pkcs11.h>

namespace vexa::sim {

Object::~Object() {
    for (auto& kv : attrs_) {
        wipe(&kv.second);
    }
}

const Bytes* Object::get(uint32_t type) const {
    auto it = attrs_.find(type);
    return it == attrs_.end() ? nullptr : &it->second;
}

void Object::set(uint32_t type, Bytes value) {
    Bytes& slot = attrs_[type];
    wipe(&slot);
    slot = std::move(value);
}

uint32_t Object::ulong(uint32_t type, uint32_t fallback) const {
    const Bytes* v = get(type);
    return (v != nullptr && v->size() == 4) ? readLe32(v->data()) : fallback;
}

bool Object::flag(uint32_t type, bool fallback) const {
    const Bytes* v = get(type);
    return (v != nullptr && v->size() == 1) ? (*v)[0] != 0 : fallback;
}

uint32_t Object::objectClass() const {
    return ulong(CKA_CLASS, 0xFFFFFFFFu);
}
uint32_t Object::keyType() const {
    return ulong(CKA_KEY_TYPE, 0xFFFFFFFFu);
}
bool Object::isToken() const {
    return flag(CKA_TOKEN);
}
bool Object::isPrivate() const {
    return flag(CKA_PRIVATE);
}

uint32_t Object::size() const {
    // Each attribute costs its value and a type/length header as stored.
    constexpr uint32_t kHeader = 8;
    uint32_t total = 0;
    for (const auto& kv : attrs_) {
        total += kHeader + static_cast<uint32_t>(kv.second.size());
    }
    return total;
}

}  // namespace vexa::sim
