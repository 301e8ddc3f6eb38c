#include "sim/objects/object_store.h"

#include <p11-kit/pkcs11.h>

#include "sim/objects/key_material.h"

namespace vexa::sim {

Rv ObjectStore::mayWrite(const Access& who, bool token, bool priv) const {
    if (token && !who.readWrite) {
        return CKR_SESSION_READ_ONLY;
    }
    if (priv && !who.user) {
        return CKR_USER_NOT_LOGGED_IN;
    }
    return CKR_OK;
}

Rv ObjectStore::create(const Access& who, const Template& tmpl, uint32_t* handle) {
    Object obj;
    Rv rv = buildObject(tmpl, Template(), Origin::Create, who.so, &obj);
    if (rv != CKR_OK) {
        return rv;
    }
    rv = finishObject(&obj);
    if (rv != CKR_OK) {
        return rv;
    }
    setProvenance(Origin::Create, 0, nullptr, &obj);
    return insert(who, std::move(obj), handle);
}

Rv ObjectStore::insert(const Access& who, Object obj, uint32_t* handle) {
    const Rv rv = mayWrite(who, obj.isToken(), obj.isPrivate());
    if (rv != CKR_OK) {
        return rv;
    }
    const uint32_t h = nextHandle();
    obj.setHandle(h);
    obj.setOwnerSession(obj.isToken() ? 0 : who.session);
    auto it = objects_.emplace(h, std::move(obj)).first;
    touched(it->second);
    *handle = h;
    return CKR_OK;
}

Rv ObjectStore::copy(const Access& who, uint32_t handle, const Template& changes,
                     uint32_t* newHandle) {
    const Object* src = find(who, handle);
    if (src == nullptr) {
        return CKR_OBJECT_HANDLE_INVALID;
    }
    if (!src->flag(CKA_COPYABLE, true)) {
        return CKR_ACTION_PROHIBITED;
    }
    Object copy = *src;
    const Rv rv = applyChanges(changes, true, who.so, &copy);
    if (rv != CKR_OK) {
        return rv;
    }
    return insert(who, std::move(copy), newHandle);
}

Rv ObjectStore::destroy(const Access& who, uint32_t handle) {
    Object* obj = findMutable(who, handle);
    if (obj == nullptr) {
        return CKR_OBJECT_HANDLE_INVALID;
    }
    const Rv rv = mayWrite(who, obj->isToken(), obj->isPrivate());
    if (rv != CKR_OK) {
        return rv;
    }
    if (!obj->flag(CKA_DESTROYABLE, true)) {
        return CKR_ACTION_PROHIBITED;
    }
    touched(*obj);
    objects_.erase(handle);
    return CKR_OK;
}

Rv ObjectStore::getAttributes(const Access& who, uint32_t handle,
                              const std::vector<uint32_t>& types,
                              std::vector<AttrResult>* out) const {
    const Object* obj = find(who, handle);
    if (obj == nullptr) {
        return CKR_OBJECT_HANDLE_INVALID;
    }
    return readAttributes(*obj, types, out);
}

Rv ObjectStore::setAttributes(const Access& who, uint32_t handle, const Template& changes) {
    Object* obj = findMutable(who, handle);
    if (obj == nullptr) {
        return CKR_OBJECT_HANDLE_INVALID;
    }
    Rv rv = mayWrite(who, obj->isToken(), obj->isPrivate());
    if (rv != CKR_OK) {
        return rv;
    }
    if (!obj->flag(CKA_MODIFIABLE, true)) {
        return CKR_ACTION_PROHIBITED;
    }
    rv = applyChanges(changes, false, who.so, obj);
    if (rv == CKR_OK) {
        touched(*obj);
    }
    return rv;
}

Rv ObjectStore::objectSize(const Access& who, uint32_t handle, uint32_t* size) const {
    const Object* obj = find(who, handle);
    if (obj == nullptr) {
        return CKR_OBJECT_HANDLE_INVALID;
    }
    *size = obj->size();
    return CKR_OK;
}

const Object* ObjectStore::find(const Access& who, uint32_t handle) const {
    auto it = objects_.find(handle);
    if (it == objects_.end() || (it->second.isPrivate() && !who.user)) {
        return nullptr;
    }
    return &it->second;
}

Object* ObjectStore::findMutable(const Access& who, uint32_t handle) {
    return const_cast<Object*>(static_cast<const ObjectStore*>(this)->find(who, handle));
}

std::vector<uint32_t> ObjectStore::search(const Access& who, const Template& tmpl) const {
    std::vector<uint32_t> out;
    for (const auto& kv : objects_) {
        if ((!kv.second.isPrivate() || who.user) && matches(kv.second, tmpl)) {
            out.push_back(kv.first);
        }
    }
    return out;
}

void ObjectStore::dropSessionObjects(uint32_t session) {
    for (auto it = objects_.begin(); it != objects_.end();) {
        if (!it->second.isToken() && it->second.ownerSession() == session) {
            it = objects_.erase(it);
        } else {
            ++it;
        }
    }
}

void ObjectStore::dropAllSessionObjects() {
    for (auto it = objects_.begin(); it != objects_.end();) {
        it = it->second.isToken() ? std::next(it) : objects_.erase(it);
    }
}

void ObjectStore::clear() {
    for (const auto& kv : objects_) {
        touched(kv.second);
    }
    objects_.clear();
}

uint32_t ObjectStore::usedMemory(bool privateObjects) const {
    uint32_t total = 0;
    for (const auto& kv : objects_) {
        if (kv.second.isToken() && kv.second.isPrivate() == privateObjects) {
            total += kv.second.size();
        }
    }
    return total;
}

uint32_t ObjectStore::nextHandle() {
    // Handles are never reused while the token lives, so a stale handle
    // cannot reach a newer object. 0 is CK_INVALID_HANDLE.
    do {
        ++lastHandle_;
    } while (lastHandle_ == 0 || objects_.count(lastHandle_) != 0);
    return lastHandle_;
}

void ObjectStore::touched(const Object& obj) {
    if (obj.isToken()) {
        ++tokenGeneration_;
    }
}

}  // namespace vexa::sim
