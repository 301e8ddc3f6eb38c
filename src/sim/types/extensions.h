// Extension points through which the object and cryptography handlers keep
// their own state inside the core's token and sessions without the core
// knowing its shape.
//
// - SessionExtension: per-session state (an operation in progress, a find
//   cursor). Session::state<T>() creates it on first use; it is destroyed
//   with the session.
// - TokenExtension: per-token state (the object store). One instance per
//   token, made by the factory registered with the handler table
//   (Registry::setTokenExtensionFactory); the core calls its hooks when
//   sessions close, the user logs out, the token is initialised, and when
//   the state file is written or read.
#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

namespace vexa::sim {

struct Token;

class SessionExtension {
public:
    virtual ~SessionExtension() = default;
};

class TokenExtension {
public:
    virtual ~TokenExtension() = default;

    // Session `handle` is being closed: its session objects and any state
    // that refers to it go. Called before the session is removed.
    virtual void sessionClosed(Token& /*token*/, uint32_t /*handle*/) {}
    // The token went back to the public state (C_Logout, or its last
    // session closed).
    virtual void loggedOut(Token& /*token*/) {}
    // C_InitToken succeeded: every object of the token is destroyed.
    virtual void tokenInitialised(Token& /*token*/) {}

    // Memory figures for C_GetTokenInfo, in bytes.
    virtual uint32_t usedPublicMemory() const { return 0; }
    virtual uint32_t usedPrivateMemory() const { return 0; }

    // Persistence of token objects (never session objects). saveObjects()
    // returns the JSON value kept under "objects" in the token's entry of
    // the state file; loadObjects() gets it back at start-up (null when the
    // entry has none) and returns false when it cannot be used, which makes
    // the state file refused as a whole.
    virtual nlohmann::json saveObjects() const { return nullptr; }
    virtual bool loadObjects(const nlohmann::json& /*objects*/) { return true; }
};

}  // namespace vexa::sim
