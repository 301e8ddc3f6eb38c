// A Windows application of the module DLL, as any PKCS#11 application
// takes it: LoadLibrary, C_GetFunctionList, and the calls through the list.
// It checks that the DLL exports exactly the 68 functions of the list and
// that each export is the list's entry, then works with the first token:
// information, login, an EC key pair made on the device, a signature
// verified by the device, random bytes. Where the device is comes from the
// environment (VEXA_VIRTUAL_DEVICE) or a vexaconfig.json in the working
// directory, as for any application.
//
//   windows_module_client <path of vexa-pkcs11.dll>
//
// Prints one line per step and "module client passed" at the end; exits 1
// at the first failure, naming it.
#include <p11-kit/pkcs11.h>
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// The standard's Windows ABI: structures packed to one byte, CK_ULONG of
// 32 bits.
static_assert(sizeof(CK_ULONG) == 4, "CK_ULONG has 32 bits on Windows");
static_assert(sizeof(CK_ATTRIBUTE) == sizeof(CK_ULONG) * 2 + sizeof(void*), "packed to 1 byte");
static_assert(sizeof(CK_MECHANISM) == sizeof(CK_ULONG) * 2 + sizeof(void*), "packed to 1 byte");
static_assert(offsetof(CK_FUNCTION_LIST, C_Initialize) == sizeof(CK_VERSION), "packed to 1 byte");

// The functions of a version 2.40 list, in the list's order.
const char* const kFunctionNames[] = {"C_Initialize",
                                      "C_Finalize",
                                      "C_GetInfo",
                                      "C_GetFunctionList",
                                      "C_GetSlotList",
                                      "C_GetSlotInfo",
                                      "C_GetTokenInfo",
                                      "C_GetMechanismList",
                                      "C_GetMechanismInfo",
                                      "C_InitToken",
                                      "C_InitPIN",
                                      "C_SetPIN",
                                      "C_OpenSession",
                                      "C_CloseSession",
                                      "C_CloseAllSessions",
                                      "C_GetSessionInfo",
                                      "C_GetOperationState",
                                      "C_SetOperationState",
                                      "C_Login",
                                      "C_Logout",
                                      "C_CreateObject",
                                      "C_CopyObject",
                                      "C_DestroyObject",
                                      "C_GetObjectSize",
                                      "C_GetAttributeValue",
                                      "C_SetAttributeValue",
                                      "C_FindObjectsInit",
                                      "C_FindObjects",
                                      "C_FindObjectsFinal",
                                      "C_EncryptInit",
                                      "C_Encrypt",
                                      "C_EncryptUpdate",
                                      "C_EncryptFinal",
                                      "C_DecryptInit",
                                      "C_Decrypt",
                                      "C_DecryptUpdate",
                                      "C_DecryptFinal",
                                      "C_DigestInit",
                                      "C_Digest",
                                      "C_DigestUpdate",
                                      "C_DigestKey",
                                      "C_DigestFinal",
                                      "C_SignInit",
                                      "C_Sign",
                                      "C_SignUpdate",
                                      "C_SignFinal",
                                      "C_SignRecoverInit",
                                      "C_SignRecover",
                                      "C_VerifyInit",
                                      "C_Verify",
                                      "C_VerifyUpdate",
                                      "C_VerifyFinal",
                                      "C_VerifyRecoverInit",
                                      "C_VerifyRecover",
                                      "C_DigestEncryptUpdate",
                                      "C_DecryptDigestUpdate",
                                      "C_SignEncryptUpdate",
                                      "C_DecryptVerifyUpdate",
                                      "C_GenerateKey",
                                      "C_GenerateKeyPair",
                                      "C_WrapKey",
                                      "C_UnwrapKey",
                                      "C_DeriveKey",
                                      "C_SeedRandom",
                                      "C_GenerateRandom",
                                      "C_GetFunctionStatus",
                                      "C_CancelFunction",
                                      "C_WaitForSlotEvent"};
static_assert(sizeof kFunctionNames / sizeof kFunctionNames[0] == 68, "68 functions");

bool g_failed = false;

void step(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
    std::fflush(stdout);
    if (!ok) {
        g_failed = true;
    }
}

bool check(CK_RV rv, const char* call) {
    char text[128];
    std::snprintf(text, sizeof text, "%s (rv 0x%08lx)", call, rv);
    step(rv == CKR_OK, text);
    return rv == CKR_OK;
}

// The names the loaded DLL exports, from its export directory.
std::set<std::string> exportedNames(HMODULE module) {
    const auto* base = reinterpret_cast<const unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& entry =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    std::set<std::string> names;
    if (entry.VirtualAddress == 0) {
        return names;
    }
    const auto* directory =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    const auto* nameTable = reinterpret_cast<const DWORD*>(base + directory->AddressOfNames);
    for (DWORD i = 0; i < directory->NumberOfNames; ++i) {
        names.insert(reinterpret_cast<const char*>(base + nameTable[i]));
    }
    return names;
}

bool checkExports(HMODULE module, CK_FUNCTION_LIST_PTR list) {
    const std::set<std::string> names = exportedNames(module);
    step(names.size() == 68, "the DLL exports " + std::to_string(names.size()) + " names");
    const auto* entries = reinterpret_cast<const char*>(list) + sizeof(CK_VERSION);
    bool all = true;
    for (size_t i = 0; i < 68; ++i) {
        FARPROC exported = GetProcAddress(module, kFunctionNames[i]);
        void* listed = nullptr;
        std::memcpy(&listed, entries + i * sizeof(void*), sizeof listed);
        if (names.count(kFunctionNames[i]) == 0 || reinterpret_cast<void*>(exported) != listed) {
            step(false, std::string(kFunctionNames[i]) + " is exported as the list's entry");
            all = false;
        }
    }
    step(all, "every function of the list is exported under its name");
    return all && names.size() == 68;
}

std::string trimmed(const CK_UTF8CHAR* text, size_t size) {
    std::string s(reinterpret_cast<const char*>(text), size);
    return s.substr(0, s.find_last_not_of(' ') + 1);
}

int run(const char* dllPath) {
    HMODULE module = LoadLibraryA(dllPath);
    if (module == nullptr) {
        step(false, std::string("LoadLibrary ") + dllPath + " (error " +
                        std::to_string(GetLastError()) + ")");
        return 1;
    }
    // Through void*: GetProcAddress returns a pointer of a generic type.
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(
        reinterpret_cast<void*>(GetProcAddress(module, "C_GetFunctionList")));
    CK_FUNCTION_LIST_PTR p11 = nullptr;
    if (getList == nullptr || !check(getList(&p11), "C_GetFunctionList")) {
        return 1;
    }
    step(p11->version.major == 2 && p11->version.minor == 40, "the list is version 2.40");
    checkExports(module, p11);

    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    if (!check(p11->C_Initialize(&args), "C_Initialize")) {
        return 1;
    }
    CK_SLOT_ID slots[8];
    CK_ULONG count = 8;
    if (!check(p11->C_GetSlotList(CK_TRUE, slots, &count), "C_GetSlotList") || count == 0) {
        step(false, "a slot with a token");
        return 1;
    }
    CK_TOKEN_INFO token;
    if (!check(p11->C_GetTokenInfo(slots[0], &token), "C_GetTokenInfo")) {
        return 1;
    }
    std::printf("token: label \"%s\", serial \"%s\"\n",
                trimmed(token.label, sizeof token.label).c_str(),
                trimmed(token.serialNumber, sizeof token.serialNumber).c_str());

    CK_SESSION_HANDLE session = 0;
    if (!check(p11->C_OpenSession(slots[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                  &session),
               "C_OpenSession")) {
        return 1;
    }
    CK_UTF8CHAR pin[] = {'1', '2', '3', '4', '5', '6'};
    CK_RV login = p11->C_Login(session, CKU_USER, pin, sizeof pin);
    check(login == CKR_USER_ALREADY_LOGGED_IN ? CKR_OK : login, "C_Login");

    // An EC key pair on P-256, made on the device.
    CK_BYTE curve[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE publicTemplate[] = {{CKA_EC_PARAMS, curve, sizeof curve},
                                     {CKA_VERIFY, &yes, sizeof yes}};
    CK_ATTRIBUTE privateTemplate[] = {{CKA_SIGN, &yes, sizeof yes}};
    CK_MECHANISM generate{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE publicKey = 0;
    CK_OBJECT_HANDLE privateKey = 0;
    if (check(p11->C_GenerateKeyPair(session, &generate, publicTemplate, 2, privateTemplate, 1,
                                     &publicKey, &privateKey),
              "C_GenerateKeyPair (EC P-256)")) {
        CK_BYTE point[128];
        CK_ATTRIBUTE pointAttribute{CKA_EC_POINT, point, sizeof point};
        if (check(p11->C_GetAttributeValue(session, publicKey, &pointAttribute, 1),
                  "C_GetAttributeValue (CKA_EC_POINT)")) {
            step(pointAttribute.ulValueLen == 67, "the public point has 67 bytes (DER, P-256)");
        }
        CK_BYTE digest[32];
        std::memset(digest, 0x5A, sizeof digest);
        CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
        CK_BYTE signature[64];
        CK_ULONG signatureLength = sizeof signature;
        if (check(p11->C_SignInit(session, &ecdsa, privateKey), "C_SignInit") &&
            check(p11->C_Sign(session, digest, sizeof digest, signature, &signatureLength),
                  "C_Sign (ECDSA)")) {
            step(signatureLength == 64, "the signature has 64 bytes");
            check(p11->C_VerifyInit(session, &ecdsa, publicKey), "C_VerifyInit");
            check(p11->C_Verify(session, digest, sizeof digest, signature, signatureLength),
                  "C_Verify");
            digest[0] ^= 1;
            check(p11->C_VerifyInit(session, &ecdsa, publicKey), "C_VerifyInit");
            step(p11->C_Verify(session, digest, sizeof digest, signature, signatureLength) ==
                     CKR_SIGNATURE_INVALID,
                 "a changed digest does not verify");
        }
    }
    CK_BYTE random[32] = {};
    if (check(p11->C_GenerateRandom(session, random, sizeof random), "C_GenerateRandom")) {
        CK_BYTE zeros[32] = {};
        step(std::memcmp(random, zeros, sizeof random) != 0, "random bytes arrived");
    }
    check(p11->C_CloseSession(session), "C_CloseSession");
    check(p11->C_Finalize(nullptr), "C_Finalize");
    FreeLibrary(module);
    return g_failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: windows_module_client <path of vexa-pkcs11.dll>\n");
        return 2;
    }
    const int status = run(argv[1]);
    if (status == 0) {
        std::printf("module client passed\n");
    }
    return status;
}
