// Eight application threads share the module: each runs many rounds of
// open session, login, find, sign and close on the stack's slots, with the
// module's own locking (CKF_OS_LOCKING_OK) and with the application's mutex
// routines. Every result is checked: the search finds exactly the key made
// for the slot, and every signature is the HMAC that OpenSSL computes for
// the same key and data.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "integration/pkcs11_threads/threads_suite.h"

namespace vexa::test {
namespace {

constexpr int kThreads = 8;
const std::string kPin = "123456";

int roundsPerThread() {
    const char* value = std::getenv("VEXA_THREAD_ROUNDS");
    return value != nullptr && *value != '\0' ? std::atoi(value) : 50;
}

CK_FUNCTION_LIST& p11() {
    return **ThreadsModule();
}

CK_UTF8CHAR_PTR utf8(const std::string& text) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(text.data()));
}

// The application's mutex routines: real mutexes, with a count of the locks
// taken so that the test can tell the module used them.
std::atomic<long> g_locks{0};

CK_RV createMutex(CK_VOID_PTR_PTR mutex) {
    *mutex = new std::mutex();
    return CKR_OK;
}
CK_RV destroyMutex(CK_VOID_PTR mutex) {
    delete static_cast<std::mutex*>(mutex);
    return CKR_OK;
}
CK_RV lockMutex(CK_VOID_PTR mutex) {
    static_cast<std::mutex*>(mutex)->lock();
    ++g_locks;
    return CKR_OK;
}
CK_RV unlockMutex(CK_VOID_PTR mutex) {
    static_cast<std::mutex*>(mutex)->unlock();
    return CKR_OK;
}

// The HMAC key of one slot: a token object with a value known here.
struct SlotKey {
    CK_SLOT_ID slot;
    std::string label;
    std::vector<CK_BYTE> value;
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
};

std::vector<CK_BYTE> expectedHmac(const SlotKey& key, const std::string& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.value.data(), static_cast<int>(key.value.size()),
         reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &length);
    return std::vector<CK_BYTE>(out, out + length);
}

bool loggedIn(CK_RV rv) {
    return rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN;
}

class ModuleThreads : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ThreadsModule() != nullptr && ThreadsModule()->loaded())
            << (ThreadsModule() != nullptr ? ThreadsModule()->error() : "no module");
    }

    void TearDown() override { p11().C_Finalize(nullptr); }

    // Creates the key of every slot (single-threaded).
    void makeKeys(const std::string& mode) {
        CK_ULONG count = 0;
        ASSERT_EQ(p11().C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
        ASSERT_EQ(count, ThreadsSlotCount());
        for (CK_SLOT_ID slot = 0; slot < count; ++slot) {
            SlotKey key{slot,
                        "threads " + mode + " " + std::to_string(getpid()) + " slot " +
                            std::to_string(slot),
                        std::vector<CK_BYTE>(32)};
            for (size_t i = 0; i < key.value.size(); ++i) {
                key.value[i] = static_cast<CK_BYTE>(i * 7 + slot + mode.size());
            }
            CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
            ASSERT_EQ(p11().C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                          nullptr, &session),
                      CKR_OK);
            ASSERT_TRUE(loggedIn(p11().C_Login(session, CKU_USER, utf8(kPin), kPin.size())));
            CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
            CK_KEY_TYPE type = CKK_GENERIC_SECRET;
            CK_BBOOL yes = CK_TRUE;
            CK_ATTRIBUTE templ[] = {
                {CKA_CLASS, &cls, sizeof cls},
                {CKA_KEY_TYPE, &type, sizeof type},
                {CKA_TOKEN, &yes, sizeof yes},
                {CKA_SIGN, &yes, sizeof yes},
                {CKA_LABEL, key.label.data(), key.label.size()},
                {CKA_VALUE, key.value.data(), key.value.size()},
            };
            ASSERT_EQ(p11().C_CreateObject(session, templ, std::size(templ), &key.handle), CKR_OK);
            ASSERT_EQ(p11().C_CloseSession(session), CKR_OK);
            keys_.push_back(key);
        }
    }

    void removeKeys() {
        for (const SlotKey& key : keys_) {
            CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
            ASSERT_EQ(p11().C_OpenSession(key.slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                          nullptr, &session),
                      CKR_OK);
            EXPECT_TRUE(loggedIn(p11().C_Login(session, CKU_USER, utf8(kPin), kPin.size())));
            EXPECT_EQ(p11().C_DestroyObject(session, key.handle), CKR_OK);
            EXPECT_EQ(p11().C_CloseSession(session), CKR_OK);
        }
    }

    // One round of one thread; the first thing that went wrong, or "".
    std::string round(const SlotKey& key, int thread, int round) {
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        if (p11().C_OpenSession(key.slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                &session) != CKR_OK) {
            return "open session";
        }
        // The login state is the token's: another thread may hold it. It
        // lasts while any session of the token is open, ours included.
        std::string wrong;
        if (!loggedIn(p11().C_Login(session, CKU_USER, utf8(kPin), kPin.size()))) {
            wrong = "login";
        }
        if (wrong.empty()) {
            wrong = find(session, key);
        }
        if (wrong.empty()) {
            wrong = sign(session, key,
                         "slot " + std::to_string(key.slot) + " thread " + std::to_string(thread) +
                             " round " + std::to_string(round));
        }
        CK_SESSION_INFO info{};
        if (wrong.empty() && (p11().C_GetSessionInfo(session, &info) != CKR_OK ||
                              info.slotID != key.slot || info.state != CKS_RW_USER_FUNCTIONS)) {
            wrong = "session info";
        }
        if (p11().C_CloseSession(session) != CKR_OK && wrong.empty()) {
            wrong = "close session";
        }
        return wrong;
    }

    static std::string find(CK_SESSION_HANDLE session, const SlotKey& key) {
        CK_ATTRIBUTE byLabel = {CKA_LABEL, const_cast<char*>(key.label.data()), key.label.size()};
        if (p11().C_FindObjectsInit(session, &byLabel, 1) != CKR_OK) {
            return "find init";
        }
        CK_OBJECT_HANDLE found[4] = {};
        CK_ULONG count = 0;
        const CK_RV rv = p11().C_FindObjects(session, found, 4, &count);
        if (p11().C_FindObjectsFinal(session) != CKR_OK) {
            return "find final";
        }
        if (rv != CKR_OK || count != 1 || found[0] != key.handle) {
            return "find: " + std::to_string(count) + " objects";
        }
        return "";
    }

    static std::string sign(CK_SESSION_HANDLE session, const SlotKey& key,
                            const std::string& data) {
        CK_MECHANISM hmac = {CKM_SHA256_HMAC, nullptr, 0};
        if (p11().C_SignInit(session, &hmac, key.handle) != CKR_OK) {
            return "sign init";
        }
        std::vector<CK_BYTE> signature(64);
        CK_ULONG length = signature.size();
        if (p11().C_Sign(session, reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(data.data())),
                         data.size(), signature.data(), &length) != CKR_OK) {
            return "sign";
        }
        signature.resize(length);
        return signature == expectedHmac(key, data) ? "" : "wrong signature";
    }

    // Eight threads, spread over the slots; every round checked.
    void runThreads() {
        const int rounds = roundsPerThread();
        std::atomic<int> wrong{0};
        std::mutex firstMutex;
        std::string first;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                const SlotKey& key = keys_[static_cast<size_t>(t) % keys_.size()];
                for (int r = 0; r < rounds; ++r) {
                    const std::string problem = round(key, t, r);
                    if (!problem.empty()) {
                        ++wrong;
                        std::lock_guard<std::mutex> lock(firstMutex);
                        if (first.empty()) {
                            first = "thread " + std::to_string(t) + " round " + std::to_string(r) +
                                    ": " + problem;
                        }
                    }
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(wrong, 0) << first;
        // Every session was closed again.
        for (const SlotKey& key : keys_) {
            CK_TOKEN_INFO token{};
            ASSERT_EQ(p11().C_GetTokenInfo(key.slot, &token), CKR_OK);
            EXPECT_EQ(token.ulSessionCount, 0u) << "slot " << key.slot;
        }
    }

    std::vector<SlotKey> keys_;
};

TEST_F(ModuleThreads, EightThreadsWithTheModulesOwnLocking) {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    ASSERT_EQ(p11().C_Initialize(&args), CKR_OK);
    makeKeys("os");
    runThreads();
    removeKeys();
}

TEST_F(ModuleThreads, EightThreadsWithTheApplicationsMutexRoutines) {
    CK_C_INITIALIZE_ARGS args{};
    args.CreateMutex = createMutex;
    args.DestroyMutex = destroyMutex;
    args.LockMutex = lockMutex;
    args.UnlockMutex = unlockMutex;
    ASSERT_EQ(p11().C_Initialize(&args), CKR_OK);
    makeKeys("app");
    const long before = g_locks.load();
    runThreads();
    EXPECT_GT(g_locks.load(), before) << "the module never took the application's mutex";
    removeKeys();
}

}  // namespace
}  // namespace vexa::test
