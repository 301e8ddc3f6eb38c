// The objects of one virtual token.
//
// Token objects persist (the firmware saves them with its state file);
// session objects belong to the session that made them and go with it.
// Every object is seen by all sessions of the token, except that private
// objects exist only for sessions in which the user is logged in. The store
// is not thread-safe: the firmware serves one request at a time.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "sim/objects/rules.h"

namespace vexa::sim {

// Who asks: the session and what its login state allows.
struct Access {
    uint32_t session = 0;
    bool readWrite = false;  // a read/write session
    bool user = false;       // the normal user is logged in
    bool so = false;         // the security officer is logged in
};

class ObjectStore {
public:
    // C_CreateObject: builds, checks and stores a new object.
    Rv create(const Access& who, const Template& tmpl, uint32_t* handle);
    // Stores an object built by a key operation after the access checks;
    // gives it a handle and the session it belongs to.
    Rv insert(const Access& who, Object obj, uint32_t* handle);
    // Whether `who` may store an object with these CKA_TOKEN and CKA_PRIVATE.
    Rv mayWrite(const Access& who, bool token, bool priv) const;

    Rv copy(const Access& who, uint32_t handle, const Template& changes, uint32_t* newHandle);
    Rv destroy(const Access& who, uint32_t handle);
    Rv getAttributes(const Access& who, uint32_t handle, const std::vector<uint32_t>& types,
                     std::vector<AttrResult>* out) const;
    Rv setAttributes(const Access& who, uint32_t handle, const Template& changes);
    Rv objectSize(const Access& who, uint32_t handle, uint32_t* size) const;

    // The object if `who` can see it, otherwise nullptr.
    const Object* find(const Access& who, uint32_t handle) const;
    // Handles of the visible objects that match, in ascending order.
    std::vector<uint32_t> search(const Access& who, const Template& tmpl) const;

    // Session close: its session objects are destroyed.
    void dropSessionObjects(uint32_t session);
    // Every session closed (C_CloseAllSessions): only token objects remain.
    void dropAllSessionObjects();
    // C_InitToken: every object is destroyed.
    void clear();

    // Bytes held by token objects, public or private ones.
    uint32_t usedMemory(bool privateObjects) const;

    // Counts changes to token objects, so that the firmware knows when to
    // save its state file.
    uint64_t tokenGeneration() const { return tokenGeneration_; }

    // Token objects in and out of the state file. load replaces the token
    // objects and refuses malformed input as a whole (false, store unchanged).
    nlohmann::json saveTokenObjects() const;
    bool loadTokenObjects(const nlohmann::json& in);

private:
    Object* findMutable(const Access& who, uint32_t handle);
    uint32_t nextHandle();
    void touched(const Object& obj);

    std::map<uint32_t, Object> objects_;
    uint32_t lastHandle_ = 0;
    uint64_t tokenGeneration_ = 0;
};

}  // namespace vexa::sim
