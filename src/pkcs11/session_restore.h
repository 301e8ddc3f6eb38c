// Brings an application's sessions and login back when its device forgot
// them: the daemon clears the device whenever a client leaves and ends
// clients that idle (so the module's next call comes over a new
// connection), and a device that vanished and came back has lost its
// sessions. The application's handles never change.
//
// Run inside the exchange that found the transport's connection new, before
// that exchange's request is sent:
// 1. each of the slot's sessions is opened again with the flags it was
//    opened with, and its handle re-pointed to the device's new number (a
//    session the device refuses to open again is forgotten: its handle gives
//    CKR_SESSION_HANDLE_INVALID);
// 2. when the application was logged in, the same user logs in again with
//    the kept PIN. When that fails (the PIN was changed meanwhile, the token
//    is locked) the PIN is forgotten, the sessions stay public, the user is
//    told once on standard error, and the device answers the calls that
//    need a login with CKR_USER_NOT_LOGGED_IN.
// What cannot be carried over is lost, and the device says so itself: an
// operation between its Init and its final call (CKR_OPERATION_NOT_
// INITIALIZED), session objects (CKR_OBJECT_HANDLE_INVALID).
#pragma once

#include "log/log_target.h"
#include "pkcs11/login_keeper.h"
#include "pkcs11/session_table.h"
#include "pkcs11/slot_table.h"

namespace vexa::pkcs11 {

class CSessionRestorer : public ISessionRestorer {
public:
    CSessionRestorer(CSessionTable& sessions, CLoginKeeper& logins, talvoranth::ILogTarget& log)
        : sessions_(sessions), logins_(logins), log_(log) {}

    void restore(int32_t slot, talvoranth::CTransport& transport) override;

private:
    CSessionTable& sessions_;
    CLoginKeeper& logins_;
    talvoranth::ILogTarget& log_;
};

}  // namespace vexa::pkcs11
