// An application that forks while it uses the module, as servers that fork
// workers do:
//
//   fork_client MODULE SLOTS hid|daemon
//
// The parent initialises, logs in and draws random bytes, then forks. The
// child must find the module not initialised, initialise it and see SLOTS
// slots; over HID it also opens a session of its own and draws random
// bytes (through the daemon, which serves one client at a time, its own
// connection would wait for the parent's to end). Then the parent's very
// next call must work on its old session: a child that closed or used the
// parent's connection would have broken it. Prints one line per step;
// exits 0 when every step worked.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

CK_FUNCTION_LIST* p11 = nullptr;
const char* who = "parent";

bool Check(const char* step, CK_RV rv, CK_RV expected = CKR_OK) {
    std::printf("%s: %s rv=0x%lx%s\n", who, step, static_cast<unsigned long>(rv),
                rv == expected ? "" : " UNEXPECTED");
    std::fflush(stdout);
    return rv == expected;
}

bool DrawRandom(CK_SESSION_HANDLE session) {
    CK_BYTE bytes[32] = {};
    return Check("C_GenerateRandom", p11->C_GenerateRandom(session, bytes, sizeof bytes));
}

CK_C_INITIALIZE_ARGS OsLocking() {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    return args;
}

// The child's part; its exit status.
int Child(CK_ULONG expectedSlots, bool ownConnection) {
    who = "child";
    CK_ULONG count = 0;
    if (!Check("C_GetSlotList before C_Initialize", p11->C_GetSlotList(CK_FALSE, nullptr, &count),
               CKR_CRYPTOKI_NOT_INITIALIZED)) {
        return 1;
    }
    CK_C_INITIALIZE_ARGS args = OsLocking();
    if (!Check("C_Initialize", p11->C_Initialize(&args)) ||
        !Check("C_GetSlotList", p11->C_GetSlotList(CK_FALSE, nullptr, &count))) {
        return 1;
    }
    std::printf("child: %lu slots\n", static_cast<unsigned long>(count));
    if (count != expectedSlots) {
        return 1;
    }
    if (ownConnection) {
        CK_SESSION_HANDLE session = 0;
        if (!Check("C_OpenSession",
                   p11->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session)) ||
            !DrawRandom(session) || !Check("C_CloseSession", p11->C_CloseSession(session))) {
            return 1;
        }
    }
    // exit(), not _exit(): the module's clean-up at the end of the process
    // must leave the parent's connections alone too.
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: fork_client MODULE SLOTS hid|daemon\n");
        return 2;
    }
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    auto getFunctionList =
        module == nullptr
            ? nullptr
            : reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
    if (getFunctionList == nullptr || getFunctionList(&p11) != CKR_OK) {
        std::fprintf(stderr, "cannot load %s\n", argv[1]);
        return 2;
    }
    const CK_ULONG expectedSlots = std::strtoul(argv[2], nullptr, 10);
    const bool ownConnection = std::strcmp(argv[3], "hid") == 0;

    // 1. The parent's session, logged in, over its own connection.
    CK_C_INITIALIZE_ARGS args = OsLocking();
    CK_SESSION_HANDLE session = 0;
    static const char kPin[] = "123456";
    if (!Check("C_Initialize", p11->C_Initialize(&args)) ||
        !Check("C_OpenSession", p11->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                                   nullptr, &session)) ||
        !Check("C_Login", p11->C_Login(session, CKU_USER,
                                       reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(kPin)),
                                       sizeof kPin - 1)) ||
        !DrawRandom(session)) {
        return 1;
    }

    // 2. The child.
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        return 1;
    }
    if (pid == 0) {
        std::exit(Child(expectedSlots, ownConnection));
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::printf("parent: the child failed\n");
        return 1;
    }

    // 3. The parent goes on where it was.
    CK_SESSION_INFO info{};
    if (!DrawRandom(session) || !Check("C_GetSessionInfo", p11->C_GetSessionInfo(session, &info))) {
        return 1;
    }
    if (info.state != CKS_RW_USER_FUNCTIONS) {
        std::printf("parent: session state %lu, not logged in\n",
                    static_cast<unsigned long>(info.state));
        return 1;
    }
    if (!Check("C_Logout", p11->C_Logout(session)) ||
        !Check("C_CloseSession", p11->C_CloseSession(session)) ||
        !Check("C_Finalize", p11->C_Finalize(nullptr))) {
        return 1;
    }
    dlclose(module);
    std::printf("fork client passed\n");
    return 0;
}
