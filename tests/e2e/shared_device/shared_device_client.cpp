// An application that uses one token the way the shared-device tests need:
//
//   shared_device_client MODULE MODE SLOT [ARG]
//
// MODE is one of
//   login-and-wait   logs in, makes a private EC key on the token, prints
//                    "key HANDLE" and waits to be killed
//   probe KEY        without a PIN: prints the session state, the number of
//                    private keys it can see and what C_SignInit and C_Sign
//                    with the key handle KEY answer
//   leave-sessions   opens two sessions and exits without C_Finalize
//   signer STOPFILE  logs in, makes a session EC key and signs again and
//                    again until STOPFILE exists, then once more; prints
//                    "ready" after the first signature and "signed N
//                    failed M" at the end
//   hammer COUNT     COUNT rounds of token information, session state and
//                    a SHA-256 digest of "abc", every answer checked
//   late-answer SIM  has vexa-sim (the program SIM, at the socket in
//                    VEXA_VIRTUAL_DEVICE) hold back the answer to its next
//                    call past the module's time-out; that call fails, and
//                    the token information after it must be the token's
//   replug SIM       logs in on a session, has vexa-sim unplug the device
//                    for a moment; calls fail meanwhile, and then work
//                    again without C_Finalize and C_Initialize, on the
//                    same session, still logged in
//
// Exits 0 when every step did what it should.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

CK_FUNCTION_LIST* p11 = nullptr;
CK_SLOT_ID slot = 0;
constexpr const char* kUserPin = "123456";

bool Check(const char* step, CK_RV rv, CK_RV expected = CKR_OK) {
    if (rv != expected) {
        std::printf("%s rv=0x%lx UNEXPECTED\n", step, static_cast<unsigned long>(rv));
        std::fflush(stdout);
    }
    return rv == expected;
}

bool Initialize() {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    return Check("C_Initialize", p11->C_Initialize(&args));
}

bool OpenSession(CK_FLAGS flags, CK_SESSION_HANDLE& session) {
    return Check("C_OpenSession",
                 p11->C_OpenSession(slot, CKF_SERIAL_SESSION | flags, nullptr, nullptr, &session));
}

bool Login(CK_SESSION_HANDLE session) {
    auto* pin = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kUserPin));
    return Check("C_Login", p11->C_Login(session, CKU_USER, pin, std::strlen(kUserPin)));
}

// An EC P-256 key pair; the private key on the token when `onToken`.
bool MakeKey(CK_SESSION_HANDLE session, bool onToken, CK_OBJECT_HANDLE& privateKey) {
    static CK_BYTE p256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    CK_BBOOL yes = CK_TRUE;
    CK_BBOOL token = onToken ? CK_TRUE : CK_FALSE;
    CK_ATTRIBUTE publicTemplate[] = {{CKA_EC_PARAMS, p256, sizeof p256},
                                     {CKA_VERIFY, &yes, sizeof yes}};
    CK_ATTRIBUTE privateTemplate[] = {{CKA_TOKEN, &token, sizeof token},
                                      {CKA_PRIVATE, &yes, sizeof yes},
                                      {CKA_SIGN, &yes, sizeof yes}};
    CK_MECHANISM mechanism{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE publicKey = 0;
    return Check("C_GenerateKeyPair",
                 p11->C_GenerateKeyPair(session, &mechanism, publicTemplate, 2, privateTemplate, 3,
                                        &publicKey, &privateKey));
}

CK_RV Sign(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, CK_RV* initRv = nullptr) {
    CK_MECHANISM mechanism{CKM_ECDSA, nullptr, 0};
    const CK_RV rv = p11->C_SignInit(session, &mechanism, key);
    if (initRv != nullptr) {
        *initRv = rv;
    }
    if (rv != CKR_OK) {
        return rv;
    }
    CK_BYTE hash[32];
    std::memset(hash, 0x5A, sizeof hash);
    CK_BYTE signature[128];
    CK_ULONG length = sizeof signature;
    return p11->C_Sign(session, hash, sizeof hash, signature, &length);
}

int LoginAndWait() {
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE key = 0;
    if (!Initialize() || !OpenSession(CKF_RW_SESSION, session) || !Login(session) ||
        !MakeKey(session, true, key) || !Check("C_Sign", Sign(session, key))) {
        return 1;
    }
    std::printf("key %lu\n", static_cast<unsigned long>(key));
    std::fflush(stdout);
    for (;;) {
        pause();
    }
}

int Probe(CK_OBJECT_HANDLE key) {
    CK_SESSION_HANDLE session = 0;
    if (!Initialize() || !OpenSession(0, session)) {
        return 1;
    }
    CK_SESSION_INFO info{};
    if (!Check("C_GetSessionInfo", p11->C_GetSessionInfo(session, &info))) {
        return 1;
    }
    CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &privateClass, sizeof privateClass}};
    CK_OBJECT_HANDLE found[16];
    CK_ULONG count = 0;
    if (!Check("C_FindObjectsInit", p11->C_FindObjectsInit(session, search, 1)) ||
        !Check("C_FindObjects", p11->C_FindObjects(session, found, 16, &count)) ||
        !Check("C_FindObjectsFinal", p11->C_FindObjectsFinal(session))) {
        return 1;
    }
    CK_RV initRv = CKR_OK;
    const CK_RV signRv = Sign(session, key, &initRv);
    std::printf("state=%lu private=%lu signinit=0x%lx sign=0x%lx\n",
                static_cast<unsigned long>(info.state), static_cast<unsigned long>(count),
                static_cast<unsigned long>(initRv), static_cast<unsigned long>(signRv));
    std::fflush(stdout);
    return 0;  // no C_Finalize: the sessions stay behind
}

int LeaveSessions() {
    CK_SESSION_HANDLE first = 0;
    CK_SESSION_HANDLE second = 0;
    if (!Initialize() || !OpenSession(CKF_RW_SESSION, first) || !OpenSession(0, second)) {
        return 1;
    }
    std::printf("opened\n");
    std::fflush(stdout);
    _exit(0);  // as a crash or a runtime that never calls C_Finalize
}

int Signer(const std::string& stopFile) {
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE key = 0;
    if (!Initialize() || !OpenSession(CKF_RW_SESSION, session) || !Login(session) ||
        !MakeKey(session, false, key) || !Check("C_Sign", Sign(session, key))) {
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    unsigned long signed_ = 1;
    unsigned long failed = 0;
    for (bool last = false; !last;) {
        last = access(stopFile.c_str(), F_OK) == 0;
        if (Check("C_Sign", Sign(session, key))) {
            ++signed_;
        } else {
            ++failed;
        }
    }
    std::printf("signed %lu failed %lu\n", signed_, failed);
    std::fflush(stdout);
    return failed == 0 && Check("C_Finalize", p11->C_Finalize(nullptr)) ? 0 : 1;
}

int Hammer(unsigned long rounds) {
    static const CK_BYTE kAbcSha256[32] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea,
                                           0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
                                           0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c,
                                           0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    CK_SESSION_HANDLE session = 0;
    if (!Initialize() || !OpenSession(0, session)) {
        return 1;
    }
    for (unsigned long i = 0; i < rounds; ++i) {
        CK_TOKEN_INFO token{};
        if (!Check("C_GetTokenInfo", p11->C_GetTokenInfo(slot, &token))) {
            return 1;
        }
        if (std::memcmp(token.manufacturerID, "Talvoranth ", 11) != 0 ||
            std::memcmp(token.model, "Vexa", 4) != 0) {
            std::printf("round %lu: wrong token information\n", i);
            return 1;
        }
        CK_SESSION_INFO info{};
        if (!Check("C_GetSessionInfo", p11->C_GetSessionInfo(session, &info))) {
            return 1;
        }
        if (info.slotID != slot || (info.flags & CKF_SERIAL_SESSION) == 0) {
            std::printf("round %lu: wrong session information\n", i);
            return 1;
        }
        CK_MECHANISM sha256{CKM_SHA256, nullptr, 0};
        CK_BYTE data[] = {'a', 'b', 'c'};
        CK_BYTE digest[64];
        CK_ULONG length = sizeof digest;
        if (!Check("C_DigestInit", p11->C_DigestInit(session, &sha256)) ||
            !Check("C_Digest", p11->C_Digest(session, data, sizeof data, digest, &length))) {
            return 1;
        }
        if (length != 32 || std::memcmp(digest, kAbcSha256, 32) != 0) {
            std::printf("round %lu: wrong digest\n", i);
            return 1;
        }
    }
    std::printf("hammer ok %lu\n", rounds);
    return Check("C_Finalize", p11->C_Finalize(nullptr)) ? 0 : 1;
}

// Sends a fault-injection command to the running vexa-sim.
bool SimControl(const std::string& sim, const std::string& command) {
    const char* socket = std::getenv("VEXA_VIRTUAL_DEVICE");
    if (socket == nullptr) {
        std::printf("VEXA_VIRTUAL_DEVICE is not set\n");
        return false;
    }
    const std::string line = "'" + sim + "' --socket '" + socket + "' --control '" + command + "'";
    return std::system(line.c_str()) == 0;
}

// The token information of `slot`, checked against what the device is.
bool TokenInfoIsTheTokens(CK_RV& rv) {
    CK_TOKEN_INFO token{};
    rv = p11->C_GetTokenInfo(slot, &token);
    return rv == CKR_OK && std::memcmp(token.label, "Vexa Token ", 11) == 0 &&
           std::memcmp(token.manufacturerID, "Talvoranth ", 11) == 0;
}

int LateAnswer(const std::string& sim) {
    CK_RV rv = CKR_OK;
    CK_SESSION_HANDLE session = 0;
    if (!Initialize() || !OpenSession(0, session) || !TokenInfoIsTheTokens(rv) ||
        !SimControl(sim, "delay 0 5000")) {
        return 1;
    }
    CK_BYTE random[16];
    const CK_RV late = p11->C_GenerateRandom(session, random, sizeof random);
    std::printf("late call rv=0x%lx\n", static_cast<unsigned long>(late));
    // The answer that comes late is the random bytes': taken for the token
    // information, it would read as a token without a label.
    if (!TokenInfoIsTheTokens(rv)) {
        std::printf("token information after the time-out is wrong (rv=0x%lx)\n",
                    static_cast<unsigned long>(rv));
        return 1;
    }
    if (!Check("C_GenerateRandom", p11->C_GenerateRandom(session, random, sizeof random))) {
        return 1;
    }
    std::printf("late answer ok\n");
    return Check("C_Finalize", p11->C_Finalize(nullptr)) ? 0 : 1;
}

int Replug(const std::string& sim) {
    CK_RV rv = CKR_OK;
    CK_SESSION_HANDLE kept = 0;
    if (!Initialize() || !TokenInfoIsTheTokens(rv) || !OpenSession(CKF_RW_SESSION, kept) ||
        !Login(kept) || !SimControl(sim, "vanish 0 2000")) {
        return 1;
    }
    if (TokenInfoIsTheTokens(rv)) {
        std::printf("the unplugged device still answers\n");
        return 1;
    }
    std::printf("unplugged rv=0x%lx\n", static_cast<unsigned long>(rv));
    // Back after the sim's 2 seconds; the module's time-out bounds each try.
    for (int attempt = 0; attempt < 60 && !TokenInfoIsTheTokens(rv); ++attempt) {
        sleep(1);
    }
    CK_SESSION_HANDLE session = 0;
    if (!Check("C_GetTokenInfo after replug", rv) || !OpenSession(0, session)) {
        return 1;
    }
    // The device lost its sessions; the module opened the kept one again
    // and logged in again.
    CK_SESSION_INFO info{};
    if (!Check("C_GetSessionInfo of the kept session", p11->C_GetSessionInfo(kept, &info))) {
        return 1;
    }
    std::printf("kept session state %lu\n", static_cast<unsigned long>(info.state));
    if (info.state != CKS_RW_USER_FUNCTIONS) {
        return 1;
    }
    std::printf("replug ok\n");
    return Check("C_Finalize", p11->C_Finalize(nullptr)) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s MODULE MODE SLOT [ARG]\n", argv[0]);
        return 2;
    }
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 2;
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
    if (getList == nullptr || getList(&p11) != CKR_OK) {
        std::fprintf(stderr, "no function list\n");
        return 2;
    }
    const std::string mode = argv[2];
    slot = std::strtoul(argv[3], nullptr, 10);
    const char* arg = argc > 4 ? argv[4] : "";
    if (mode == "login-and-wait") {
        return LoginAndWait();
    }
    if (mode == "probe") {
        return Probe(std::strtoul(arg, nullptr, 10));
    }
    if (mode == "leave-sessions") {
        return LeaveSessions();
    }
    if (mode == "signer") {
        return Signer(arg);
    }
    if (mode == "hammer") {
        return Hammer(std::strtoul(arg, nullptr, 10));
    }
    if (mode == "late-answer") {
        return LateAnswer(arg);
    }
    if (mode == "replug") {
        return Replug(arg);
    }
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
