// The rows of vexa-p11bench: one session on one token, the keys and the
// data object the rows need (found in the token or made for the run and
// destroyed after), and the measured operations.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <string>
#include <vector>

#include "p11bench/stats.h"

namespace vexa::p11bench {

struct Options {
    std::string module;
    bool slotGiven = false;
    CK_SLOT_ID slot = 0;
    bool pinGiven = false;
    std::string pin;
    size_t iterations = 1000;
    double rowSeconds = 10;  // a row stops early after this much measured time
    bool tsv = false;
    std::string only;  // non-empty: only the rows whose name starts with it
};

// A key or object the rows use: found (kept) or made (destroyed after), or
// missing with the reason.
struct Fixture {
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    std::string missing;  // empty when handle is usable
    std::vector<CK_OBJECT_HANDLE> made;
};

// Initialises the module, opens a read-write session on the slot, logs in
// when a PIN is given, and finds or makes the fixtures. The destructor
// destroys what it made, logs out, closes the session and finalises.
class CBenchSession {
public:
    explicit CBenchSession(CK_FUNCTION_LIST_PTR functions) : f_(functions) {}
    ~CBenchSession();
    CBenchSession(const CBenchSession&) = delete;
    CBenchSession& operator=(const CBenchSession&) = delete;

    // CKR_OK, or the failing call in *step.
    CK_RV open(const Options& options, std::string* step);

    CK_FUNCTION_LIST_PTR f() const { return f_; }
    CK_SESSION_HANDLE session() const { return session_; }
    CK_SLOT_ID slot() const { return slot_; }
    const std::string& tokenLabel() const { return tokenLabel_; }
    // Resident memory right after C_Initialize and C_OpenSession, before any
    // key or object is made.
    size_t residentAfterOpenKiB() const { return residentAfterOpenKiB_; }

    Fixture data;  // a data object labelled kDataLabel
    Fixture ec;    // P-256 private key
    Fixture rsa;   // RSA-2048 private key
    Fixture aes;   // AES-256 key

private:
    void makeFixtures(bool loggedIn);
    CK_RV find(CK_OBJECT_CLASS objectClass, const char* label, CK_OBJECT_HANDLE* found);
    void destroy(Fixture& fixture);

    CK_FUNCTION_LIST_PTR f_;
    bool initialised_ = false;
    bool loggedIn_ = false;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    CK_SLOT_ID slot_ = 0;
    std::string tokenLabel_;
    size_t residentAfterOpenKiB_ = 0;
};

struct RowResult {
    std::string name;
    std::string missing;  // "n/a (...)" reason; empty when measured
    Figures figures;
    size_t bytesPerOp = 0;  // for the throughput row
};

// Runs the rows in order (those options.only selects).
std::vector<RowResult> runRows(CBenchSession& session, const Options& options);

}  // namespace vexa::p11bench
