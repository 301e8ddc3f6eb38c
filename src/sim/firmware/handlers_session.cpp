// Sessions and login: C_OpenSession (11), C_CloseSession (12), C_Login
// (13), C_CloseAllSessions (14), C_GetSessionInfo (17), C_InitPIN (18),
// C_Logout (19) and C_SetPIN (20), with the PKCS#11 rules for session
// states. The login state belongs to the token: every session shares it.
#include <p11-kit/pkcs11.h>

#include "sim/firmware/handlers.h"
#include "vexa.pb.h"

namespace vexa::sim {

namespace {

bool anyReadOnlySession(const Token& token) {
    for (const auto& [handle, session] : token.sessions) {
        if (!session.readWrite()) {
            return true;
        }
    }
    return false;
}

}  // namespace

namespace handlers {

uint32_t openSession(Call& call) {
    Token& token = call.token;
    const uint32_t flags = call.request.value.value_or(0);
    if ((flags & CKF_SERIAL_SESSION) == 0) {
        return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    }
    const bool readWrite = (flags & CKF_RW_SESSION) != 0;
    if (!readWrite && token.login == LoginState::SecurityOfficer) {
        return CKR_SESSION_READ_WRITE_SO_EXISTS;
    }
    if (token.sessions.size() >= kMaxSessions) {
        return CKR_SESSION_COUNT;
    }
    if (readWrite && token.rwSessionCount() >= kMaxRwSessions) {
        return CKR_SESSION_COUNT;
    }
    Session session;
    session.handle = token.newSessionHandle();
    session.flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
    const uint32_t handle = session.handle;
    token.sessions.emplace(handle, std::move(session));
    call.response.handle = handle;
    return CKR_OK;
}

uint32_t closeSession(Call& call) {
    call.token.closeSession(call.session->handle);
    return CKR_OK;
}

uint32_t closeAllSessions(Call& call) {
    call.token.closeAllSessions();
    return CKR_OK;
}

uint32_t getSessionInfo(Call& call) {
    ::SessionInfo info = SessionInfo_init_zero;
    info.state = call.token.sessionState(*call.session);
    info.flags = call.session->flags;
    info.device_error = 0;
    call.response.sessionInfo = info;
    return CKR_OK;
}

// C_Login. Order of the checks: user type, who is logged in already, then
// the PIN (so that a refused login never costs a PIN try).
uint32_t login(Call& call) {
    Token& token = call.token;
    const uint32_t userType = call.request.value.value_or(0xFFFFFFFF);
    const Bytes pin = call.request.data.value_or(Bytes{});
    PinRecord* record = nullptr;
    switch (userType) {
        case CKU_SO:
            if (token.login == LoginState::SecurityOfficer) {
                return CKR_USER_ALREADY_LOGGED_IN;
            }
            if (token.login == LoginState::User) {
                return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
            }
            if (anyReadOnlySession(token)) {
                return CKR_SESSION_READ_ONLY_EXISTS;
            }
            record = &token.soPin;
            break;
        case CKU_USER:
            if (token.login == LoginState::User) {
                return CKR_USER_ALREADY_LOGGED_IN;
            }
            if (token.login == LoginState::SecurityOfficer) {
                return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
            }
            record = &token.userPin;
            break;
        case CKU_CONTEXT_SPECIFIC:
            if (token.login != LoginState::User) {
                return CKR_USER_NOT_LOGGED_IN;
            }
            record = &token.userPin;
            break;
        default:
            return CKR_USER_TYPE_INVALID;
    }
    const uint32_t failuresBefore = record->failures;
    const uint32_t rv = checkPin(*record, pin);
    call.persistentChange = record->failures != failuresBefore;
    if (rv != CKR_OK) {
        return rv;
    }
    if (userType == CKU_CONTEXT_SPECIFIC) {
        call.session->contextAuthenticated = true;
    } else {
        token.login = userType == CKU_SO ? LoginState::SecurityOfficer : LoginState::User;
    }
    return CKR_OK;
}

uint32_t logout(Call& call) {
    if (call.token.login == LoginState::Public) {
        return CKR_USER_NOT_LOGGED_IN;
    }
    call.token.logout();
    return CKR_OK;
}

// C_InitPIN: the SO sets the user PIN from a read/write session.
uint32_t initPin(Call& call) {
    Token& token = call.token;
    if (token.login != LoginState::SecurityOfficer) {
        return CKR_USER_NOT_LOGGED_IN;
    }
    if (!call.session->readWrite()) {
        return CKR_SESSION_READ_ONLY;
    }
    const Bytes pin = call.request.data.value_or(Bytes{});
    if (!pinLengthValid(pin.size())) {
        return CKR_PIN_LEN_RANGE;
    }
    token.userPin = makePinRecord(pin.data(), pin.size(), call.random);
    call.persistentChange = true;
    return CKR_OK;
}

// C_SetPIN: changes the SO PIN when the SO is logged in, else the user PIN
// (logged in as user or not), from a read/write session.
uint32_t setPin(Call& call) {
    Token& token = call.token;
    if (!call.session->readWrite()) {
        return CKR_SESSION_READ_ONLY;
    }
    if (!call.request.data || !call.request.data2) {
        return CKR_ARGUMENTS_BAD;
    }
    PinRecord& record = token.login == LoginState::SecurityOfficer ? token.soPin : token.userPin;
    if (!record.set) {
        return CKR_USER_PIN_NOT_INITIALIZED;
    }
    const Bytes& newPin = *call.request.data2;
    if (!pinLengthValid(newPin.size())) {
        return CKR_PIN_LEN_RANGE;
    }
    const uint32_t failuresBefore = record.failures;
    const uint32_t rv = checkPin(record, *call.request.data);
    call.persistentChange = record.failures != failuresBefore;
    if (rv != CKR_OK) {
        return rv;
    }
    record = makePinRecord(newPin.data(), newPin.size(), call.random);
    call.persistentChange = true;
    return CKR_OK;
}

}  // namespace handlers

}  // namespace vexa::sim
