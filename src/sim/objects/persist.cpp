// Token objects in the state file: one JSON object per token object with
// its handle and its attributes as (type, hexadecimal value) pairs, and the
// last handle given out so that handles are not reused after a restart.
#include <nlohmann/json.hpp>
#include <p11-kit/pkcs11.h>

#include "sim/objects/object_store.h"

namespace vexa::sim {

nlohmann::json ObjectStore::saveTokenObjects() const {
    nlohmann::json objects = nlohmann::json::array();
    for (const auto& kv : objects_) {
        if (!kv.second.isToken()) {
            continue;
        }
        nlohmann::json attrs = nlohmann::json::array();
        for (const auto& a : kv.second.attributes()) {
            attrs.push_back({{"type", a.first}, {"value", toHex(a.second)}});
        }
        objects.push_back({{"handle", kv.first}, {"attributes", std::move(attrs)}});
    }
    return {{"last_handle", lastHandle_}, {"objects", std::move(objects)}};
}

namespace {

bool readUint32(const nlohmann::json& j, const char* key, uint32_t* out) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_number_unsigned()) {
        return false;
    }
    const auto v = it->get<uint64_t>();
    if (v > 0xFFFFFFFFu) {
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

bool readObject(const nlohmann::json& j, Object* out) {
    uint32_t handle = 0;
    if (!j.is_object() || !readUint32(j, "handle", &handle) || handle == 0) {
        return false;
    }
    auto attrs = j.find("attributes");
    if (attrs == j.end() || !attrs->is_array()) {
        return false;
    }
    Object obj;
    obj.setHandle(handle);
    for (const nlohmann::json& a : *attrs) {
        uint32_t type = 0;
        Bytes value;
        if (!a.is_object() || !readUint32(a, "type", &type)) {
            return false;
        }
        auto v = a.find("value");
        if (v == a.end() || !v->is_string() || !fromHex(v->get<std::string>(), &value) ||
            obj.has(type)) {
            return false;
        }
        obj.set(type, std::move(value));
    }
    // A stored object is a token object of a known class.
    if (!obj.isToken() || !obj.has(CKA_CLASS)) {
        return false;
    }
    *out = std::move(obj);
    return true;
}

}  // namespace

bool ObjectStore::loadTokenObjects(const nlohmann::json& in) {
    uint32_t last = 0;
    auto list = in.is_object() ? in.find("objects") : in.end();
    if (!in.is_object() || !readUint32(in, "last_handle", &last) || list == in.end() ||
        !list->is_array()) {
        return false;
    }
    std::map<uint32_t, Object> loaded;
    for (const nlohmann::json& j : *list) {
        Object obj;
        if (!readObject(j, &obj) || obj.handle() > last || loaded.count(obj.handle()) != 0) {
            return false;
        }
        const uint32_t h = obj.handle();
        loaded.emplace(h, std::move(obj));
    }
    // Session objects of the running device keep their handles; none can
    // clash with a loaded one because loading happens before any session.
    for (auto& kv : objects_) {
        if (!kv.second.isToken() && loaded.count(kv.first) == 0) {
            loaded.emplace(kv.first, std::move(kv.second));
        }
    }
    objects_ = std::move(loaded);
    lastHandle_ = std::max(lastHandle_, last);
    return true;
}

}  // namespace vexa::sim
