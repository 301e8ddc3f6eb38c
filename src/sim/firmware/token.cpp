#include "sim/firmware/token.h"

#include <p11-kit/pkcs11.h>

#include <vector>

namespace vexa::sim {

bool Session::readWrite() const {
    return (flags & CKF_RW_SESSION) != 0;
}

Bytes Token::labelFrom(const std::string& text) {
    Bytes label(32, ' ');
    for (size_t i = 0; i < text.size() && i < label.size(); ++i) {
        label[i] = static_cast<uint8_t>(text[i]);
    }
    return label;
}

Session* Token::findSession(uint32_t handle) {
    auto it = sessions.find(handle);
    return it == sessions.end() ? nullptr : &it->second;
}

uint32_t Token::rwSessionCount() const {
    uint32_t count = 0;
    for (const auto& [handle, session] : sessions) {
        count += session.readWrite() ? 1 : 0;
    }
    return count;
}

uint32_t Token::sessionState(const Session& session) const {
    switch (login) {
        case LoginState::SecurityOfficer:
            return CKS_RW_SO_FUNCTIONS;
        case LoginState::User:
            return session.readWrite() ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
        case LoginState::Public:
            break;
    }
    return session.readWrite() ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
}

uint32_t Token::newSessionHandle() {
    // Handles count up and wrap; 0 is never valid in PKCS#11. The loop ends
    // because at most kMaxSessions handles are in use.
    do {
        ++lastSessionHandle;
    } while (lastSessionHandle == 0 || sessions.count(lastSessionHandle) != 0);
    return lastSessionHandle;
}

void Token::closeSession(uint32_t handle) {
    if (sessions.count(handle) == 0) {
        return;
    }
    if (extension) {
        extension->sessionClosed(*this, handle);
    }
    sessions.erase(handle);
    if (sessions.empty()) {
        logout();
    }
}

void Token::closeAllSessions() {
    std::vector<uint32_t> handles;
    for (const auto& [handle, session] : sessions) {
        handles.push_back(handle);
    }
    for (uint32_t handle : handles) {
        closeSession(handle);
    }
    logout();
}

void Token::logout() {
    if (login == LoginState::Public) {
        return;
    }
    login = LoginState::Public;
    for (auto& [handle, session] : sessions) {
        session.contextAuthenticated = false;
    }
    if (extension) {
        extension->loggedOut(*this);
    }
}

}  // namespace vexa::sim
