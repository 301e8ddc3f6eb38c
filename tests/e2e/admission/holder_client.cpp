// A long-running application that keeps a logged-in session through the
// daemon, as a signing service does:
//
//   holder_client MODULE PIN GO_FILE
//
// Initialises, opens a session, logs in and draws random bytes, prints
// "holder: ready", then stays idle until GO_FILE exists (others use the
// device meanwhile). Its next calls must work on the same session, still
// logged in, without a new login. Prints one line per step; exits 0 when
// every step worked.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

CK_FUNCTION_LIST* p11 = nullptr;

bool Check(const char* step, CK_RV rv) {
    std::printf("holder: %s rv=0x%lx%s\n", step, static_cast<unsigned long>(rv),
                rv == CKR_OK ? "" : " UNEXPECTED");
    std::fflush(stdout);
    return rv == CKR_OK;
}

bool DrawRandom(CK_SESSION_HANDLE session) {
    CK_BYTE bytes[32] = {};
    return Check("C_GenerateRandom", p11->C_GenerateRandom(session, bytes, sizeof bytes));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: holder_client MODULE PIN GO_FILE\n");
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW);
    auto getList = library
                       ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"))
                       : nullptr;
    if (getList == nullptr || getList(&p11) != CKR_OK) {
        std::fprintf(stderr, "cannot load %s\n", argv[1]);
        return 2;
    }
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    CK_SESSION_HANDLE session = 0;
    auto* pin = reinterpret_cast<CK_UTF8CHAR*>(argv[2]);
    if (!Check("C_Initialize", p11->C_Initialize(&args)) ||
        !Check("C_OpenSession", p11->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                                   nullptr, &session)) ||
        !Check("C_Login", p11->C_Login(session, CKU_USER, pin, std::strlen(argv[2]))) ||
        !DrawRandom(session)) {
        return 1;
    }
    std::printf("holder: ready\n");
    std::fflush(stdout);
    // Idle until told to go on (the test creates the file when the other
    // applications are done).
    while (access(argv[3], F_OK) != 0) {
        usleep(20000);
    }
    CK_SESSION_INFO info{};
    if (!Check("C_GetSessionInfo", p11->C_GetSessionInfo(session, &info)) || !DrawRandom(session)) {
        return 1;
    }
    std::printf("holder: state %lu\n", static_cast<unsigned long>(info.state));
    if (info.state != CKS_RW_USER_FUNCTIONS || !Check("C_Logout", p11->C_Logout(session)) ||
        !Check("C_Finalize", p11->C_Finalize(nullptr))) {
        return 1;
    }
    std::printf("holder passed\n");
    return 0;
}
