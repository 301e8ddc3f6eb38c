// The token of one virtual device: identity, PINs, login state and open
// sessions. One Token per device; every connection to the device shares it,
// and the device's lock guards it (handlers run under that lock).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "sim/types/device_types.h"
#include "sim/types/extensions.h"
#include "sim/firmware/pin.h"

namespace vexa::sim {

// Session limits of a token.
constexpr uint32_t kMaxSessions = 64;
constexpr uint32_t kMaxRwSessions = 64;

enum class LoginState : uint8_t { Public, User, SecurityOfficer };

struct Session {
    uint32_t handle = 0;
    uint32_t flags = 0;  // CKF_SERIAL_SESSION, and CKF_RW_SESSION for read/write
    // C_Login(CKU_CONTEXT_SPECIFIC) succeeded in this session; the handler
    // that consumes it clears it.
    bool contextAuthenticated = false;
    std::unique_ptr<SessionExtension> extension;

    bool readWrite() const;

    // Per-session state of a handler family, created on first use. Only
    // one family may keep state per session (std::bad_cast otherwise).
    template <class T>
    T& state() {
        if (!extension) {
            extension = std::make_unique<T>();
        }
        return dynamic_cast<T&>(*extension);
    }
};

struct Token {
    // Identity: the 12-hex-digit USB serial number and the product ("Vexa"
    // or "Dorvik"), which is also the token's model.
    std::string serial;
    std::string product;
    Bytes label;  // always 32 bytes, blank-padded

    bool initialised = false;
    PinRecord soPin;
    PinRecord userPin;

    LoginState login = LoginState::Public;
    std::map<uint32_t, Session> sessions;
    uint32_t lastSessionHandle = 0;

    // State of the object handlers (may be null when none registered).
    std::unique_ptr<TokenExtension> extension;

    // The token's label from text: cut to 32 bytes, blank-padded.
    static Bytes labelFrom(const std::string& text);

    Session* findSession(uint32_t handle);
    uint32_t rwSessionCount() const;
    // CKS_ state of a session under the token's login state.
    uint32_t sessionState(const Session& session) const;
    // A fresh session handle: never 0, never one in use.
    uint32_t newSessionHandle();

    // Close one session, or all of them; the last one to go logs the token
    // out. The extension hears of each.
    void closeSession(uint32_t handle);
    void closeAllSessions();
    void logout();

    // The extension as the type its family registered.
    template <class T>
    T& objects() {
        return dynamic_cast<T&>(*extension);
    }
};

}  // namespace vexa::sim
