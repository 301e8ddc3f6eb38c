// A long-running application that keeps a logged-in session through the
// daemon, as a signing service does:
//
//   holder_client MODULE PIN GO_FILE
//
// Initialises, opens a session, logs in, stores a private data object (one
// that only a logged-in user can see) and draws random bytes, prints
// "holder: ready", then stays idle until GO_FILE exists (others use the
// device meanwhile). Its next calls must work on the same session, still
// logged in, without a new login: the session is a user session and the
// private object is found and read. Prints one line per step; exits 0 when
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

char kLabel[] = "holder secret";
char kValue[] = "kept behind the login";

bool StorePrivateObject(CK_SESSION_HANDLE session) {
    CK_OBJECT_CLASS dataClass = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE attributes[] = {
        {CKA_CLASS, &dataClass, sizeof dataClass}, {CKA_TOKEN, &yes, sizeof yes},
        {CKA_PRIVATE, &yes, sizeof yes},           {CKA_LABEL, kLabel, std::strlen(kLabel)},
        {CKA_VALUE, kValue, std::strlen(kValue)},
    };
    CK_OBJECT_HANDLE object = 0;
    return Check("C_CreateObject", p11->C_CreateObject(session, attributes, 5, &object));
}

// Finds the private object by its label (invisible without the login) and
// reads its value.
bool ReadPrivateObject(CK_SESSION_HANDLE session) {
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE search[] = {
        {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_LABEL, kLabel, std::strlen(kLabel)},
    };
    CK_OBJECT_HANDLE found[2] = {};
    CK_ULONG count = 0;
    if (!Check("C_FindObjectsInit", p11->C_FindObjectsInit(session, search, 2)) ||
        !Check("C_FindObjects", p11->C_FindObjects(session, found, 2, &count)) ||
        !Check("C_FindObjectsFinal", p11->C_FindObjectsFinal(session))) {
        return false;
    }
    std::printf("holder: private objects found %lu\n", static_cast<unsigned long>(count));
    if (count != 1) {
        return false;
    }
    char value[64] = {};
    CK_ATTRIBUTE read[] = {{CKA_VALUE, value, sizeof value - 1}};
    if (!Check("C_GetAttributeValue", p11->C_GetAttributeValue(session, found[0], read, 1))) {
        return false;
    }
    std::printf("holder: private value \"%s\"\n", value);
    return std::strcmp(value, kValue) == 0 &&
           Check("C_DestroyObject", p11->C_DestroyObject(session, found[0]));
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
        !StorePrivateObject(session) || !DrawRandom(session)) {
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
    if (!Check("C_GetSessionInfo", p11->C_GetSessionInfo(session, &info))) {
        return 1;
    }
    std::printf("holder: state %lu\n", static_cast<unsigned long>(info.state));
    if (info.state != CKS_RW_USER_FUNCTIONS || !ReadPrivateObject(session) ||
        !DrawRandom(session) || !Check("C_Logout", p11->C_Logout(session)) ||
        !Check("C_Finalize", p11->C_Finalize(nullptr))) {
        return 1;
    }
    std::printf("holder passed\n");
    return 0;
}
