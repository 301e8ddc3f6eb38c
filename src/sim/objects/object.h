// One object of the virtual token: a handle, the session that owns it
// (none for a token object) and its attributes in canonical form.
#pragma once

#include <cstdint>
#include <map>

#include "sim/objects/attribute.h"

namespace vexa::sim {

class Object {
public:
    Object() = default;
    Object(const Object&) = default;
    Object& operator=(const Object&) = default;
    Object(Object&&) = default;
    Object& operator=(Object&&) = default;
    // Key material is overwritten before the memory is released.
    ~Object();

    uint32_t handle() const { return handle_; }
    void setHandle(uint32_t h) { handle_ = h; }
    // The session that created a session object; 0 for a token object.
    uint32_t ownerSession() const { return owner_; }
    void setOwnerSession(uint32_t s) { owner_ = s; }

    const Bytes* get(uint32_t type) const;
    bool has(uint32_t type) const { return attrs_.count(type) != 0; }
    void set(uint32_t type, Bytes value);
    void setUlong(uint32_t type, uint32_t v) { set(type, ulongBytes(v)); }
    void setBool(uint32_t type, bool v) { set(type, boolBytes(v)); }
    uint32_t ulong(uint32_t type, uint32_t fallback) const;
    bool flag(uint32_t type, bool fallback = false) const;

    uint32_t objectClass() const;
    uint32_t keyType() const;
    bool isToken() const;
    bool isPrivate() const;

    const std::map<uint32_t, Bytes>& attributes() const { return attrs_; }
    // Rough storage size: the bytes of every value plus a small header each.
    uint32_t size() const;

private:
    uint32_t handle_ = 0;
    uint32_t owner_ = 0;
    std::map<uint32_t, Bytes> attrs_;
};

}  // namespace vexa::sim
