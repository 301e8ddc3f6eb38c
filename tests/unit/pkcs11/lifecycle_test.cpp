// C_Initialize with its argument and locking cases, the clock setting,
// C_Finalize, C_GetInfo, C_WaitForSlotEvent, and the not-initialised guard
// of every operation.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <stdexcept>

#include "platform/platform.h"
#include "unit/pkcs11/module_fixture.h"

namespace vexa::test {
namespace {

using talvoranth::LOG_DEBUG;
using talvoranth::LOG_TRACE;
using vexa::pkcs11::CExchangeLock;

// The application's mutex routines, counting their calls.
struct AppMutexes {
    int created = 0;
    int destroyed = 0;
    int locks = 0;
    int unlocks = 0;
    CK_RV createResult = CKR_OK;
    std::mutex mutex;
};
AppMutexes g_app;

CK_RV appCreate(CK_VOID_PTR_PTR mutex) {
    ++g_app.created;
    *mutex = &g_app.mutex;
    return g_app.createResult;
}
CK_RV appDestroy(CK_VOID_PTR) {
    ++g_app.destroyed;
    return CKR_OK;
}
CK_RV appLock(CK_VOID_PTR mutex) {
    static_cast<std::mutex*>(mutex)->lock();
    ++g_app.locks;
    return CKR_OK;
}
CK_RV appUnlock(CK_VOID_PTR mutex) {
    ++g_app.unlocks;
    static_cast<std::mutex*>(mutex)->unlock();
    return CKR_OK;
}

CK_C_INITIALIZE_ARGS allRoutines(CK_FLAGS flags) {
    CK_C_INITIALIZE_ARGS args{};
    args.CreateMutex = &appCreate;
    args.DestroyMutex = &appDestroy;
    args.LockMutex = &appLock;
    args.UnlockMutex = &appUnlock;
    args.flags = flags;
    return args;
}

class Lifecycle : public ModuleTest {
protected:
    void SetUp() override {
        g_app.created = g_app.destroyed = g_app.locks = g_app.unlocks = 0;
        g_app.createResult = CKR_OK;
        ModuleTest::SetUp();
    }
    CExchangeLock::Mode lockMode() { return context_->slots().lock().mode(); }
};

TEST_F(Lifecycle, InitializeArgumentsChooseTheLockingMode) {
    struct Case {
        const char* name;
        CK_C_INITIALIZE_ARGS args;
        CK_RV rv;
        CExchangeLock::Mode mode;
        int created;
    };
    CK_C_INITIALIZE_ARGS reserved{};
    reserved.pReserved = &reserved;
    CK_C_INITIALIZE_ARGS onlyCreate{};
    onlyCreate.CreateMutex = &appCreate;
    CK_C_INITIALIZE_ARGS noDestroy = allRoutines(0);
    noDestroy.DestroyMutex = nullptr;
    const Case cases[] = {
        {"all zeros", CK_C_INITIALIZE_ARGS{}, CKR_OK, CExchangeLock::Mode::None, 0},
        {"reserved pointer", reserved, CKR_ARGUMENTS_BAD, CExchangeLock::Mode::None, 0},
        {"os locking with routines", allRoutines(CKF_OS_LOCKING_OK), CKR_OK,
         CExchangeLock::Mode::OperatingSystem, 0},
        {"application routines", allRoutines(0), CKR_OK, CExchangeLock::Mode::Application, 1},
        {"only CreateMutex", onlyCreate, CKR_ARGUMENTS_BAD, CExchangeLock::Mode::None, 0},
        {"no DestroyMutex", noDestroy, CKR_ARGUMENTS_BAD, CExchangeLock::Mode::None, 0},
    };
    for (const Case& c : cases) {
        g_app.created = 0;
        CK_C_INITIALIZE_ARGS args = c.args;
        EXPECT_EQ(initialize(&args), c.rv) << c.name;
        EXPECT_EQ(context_->initialised(), c.rv == CKR_OK) << c.name;
        EXPECT_EQ(lockMode(), c.mode) << c.name;
        EXPECT_EQ(g_app.created, c.created) << c.name;
        EXPECT_TRUE(context_->has(LOG_DEBUG, "C_Initialize with non-null args")) << c.name;
        if (c.rv == CKR_OK) {
            EXPECT_EQ(C_Finalize(nullptr), CKR_OK) << c.name;
        }
    }
}

TEST_F(Lifecycle, FailingCreateMutexGivesCantLockAndLeavesModuleUninitialised) {
    g_app.createResult = CKR_HOST_MEMORY;
    CK_C_INITIALIZE_ARGS args = allRoutines(0);
    EXPECT_EQ(initialize(&args), CKR_CANT_LOCK);
    EXPECT_FALSE(context_->initialised());
    EXPECT_TRUE(context_->has(LOG_DEBUG, "C_Initialize with locking functions requested"));
}

TEST_F(Lifecycle, ApplicationMutexSurroundsEveryExchangeAndIsDestroyedAtFinalize) {
    CK_C_INITIALIZE_ARGS args = allRoutines(0);
    ASSERT_EQ(initialize(&args), CKR_OK);
    const int afterInit = g_app.locks;
    openSession(0);
    EXPECT_EQ(g_app.locks, afterInit + 1);
    EXPECT_EQ(g_app.unlocks, g_app.locks);
    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(g_app.destroyed, 1);
    EXPECT_EQ(g_app.unlocks, g_app.locks);
}

TEST_F(Lifecycle, SecondInitializeAnswersAlreadyInitialisedAndLogsNothing) {
    ASSERT_EQ(initialize(), CKR_OK);
    EXPECT_TRUE(context_->has(LOG_TRACE, "C_Initialize"));
    context_->clearLines();
    CK_C_INITIALIZE_ARGS args{};
    EXPECT_EQ(initialize(&args), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    EXPECT_TRUE(context_->lines().empty());
}

class ThreeDevices : public ModuleTest {
protected:
    ThreeDevices() : ModuleTest(3) {}
};

TEST_F(ThreeDevices, InitializeBindsOneSlotPerDeviceAndSetsEachClock) {
    devices_[1]->setResponder([](const SeenRequest&) { return Reply::withRv(CKR_DEVICE_ERROR); });
    const int64_t before = platform::unixTimeSeconds();
    ASSERT_EQ(initialize(), CKR_OK);
    const int64_t after = platform::unixTimeSeconds();

    CK_ULONG count = 0;
    ASSERT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 3u);
    for (size_t slot = 0; slot < 3; ++slot) {
        const auto clock = requestsOf(slot, FunctionId::SetDeviceClock);
        ASSERT_EQ(clock.size(), 1u) << slot;
        EXPECT_FALSE(clock[0].request.has_session);
        ASSERT_TRUE(clock[0].request.has_object);
        EXPECT_GE(clock[0].request.object, static_cast<uint32_t>(before));
        EXPECT_LE(clock[0].request.object, static_cast<uint32_t>(after));
        EXPECT_EQ(devices_[slot]->timeout, config_.timeoutMs) << slot;
    }
    EXPECT_EQ(context_->count("bSetDateTime"), 3u);
    EXPECT_EQ(context_->currentSlot(), vexa::pkcs11::CSlotTable::kExchanged);
}

TEST_F(ThreeDevices, FinalizeClosesEverySlotAndAFreshInitializeListsAgain) {
    ASSERT_EQ(initialize(), CKR_OK);
    const CK_SESSION_HANDLE session = openSession(2);
    EXPECT_EQ(devices_[2]->opens, 1);

    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    // This application's one session is closed; other applications'
    // sessions on the devices are not touched.
    for (size_t slot = 0; slot < 3; ++slot) {
        EXPECT_EQ(requestsOf(slot, FunctionId::CloseAllSessions).size(), 0u) << slot;
        EXPECT_EQ(requestsOf(slot, FunctionId::CloseSession).size(), slot == 2 ? 1u : 0u) << slot;
        EXPECT_EQ(devices_[slot]->closes, devices_[slot]->opens.load()) << slot;
    }
    EXPECT_EQ(requestsOf(2, FunctionId::CloseSession)[0].request.session,
              static_cast<uint32_t>(session));
    EXPECT_EQ(context_->count("C_CloseAllSessions"), 3u);
    EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);

    devices_.push_back(std::make_shared<CMemoryDevice>());
    ASSERT_EQ(initialize(), CKR_OK);
    EXPECT_EQ(listings_, 2);
    CK_ULONG count = 0;
    ASSERT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 4u);
    // The session map was emptied with the slots.
    EXPECT_EQ(C_Logout(session), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(Lifecycle, FinalizeChecksItsArgumentBeforeTheInitialisedFlag) {
    int reserved = 0;
    EXPECT_EQ(C_Finalize(&reserved), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(context_->count("C_Finalize"), 2u);
    ASSERT_EQ(initialize(), CKR_OK);
    EXPECT_EQ(C_Finalize(&reserved), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(context_->initialised());
}

TEST_F(Lifecycle, GetInfoDescribesTheLibrary) {
    CK_INFO info;
    EXPECT_EQ(C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
    ASSERT_EQ(initialize(), CKR_OK);
    EXPECT_EQ(C_GetInfo(nullptr), CKR_ARGUMENTS_BAD);
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.major, 2);
    EXPECT_EQ(info.cryptokiVersion.minor, 40);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.manufacturerID), 32),
              "Talvoranth                      ");
    EXPECT_EQ(info.flags, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.libraryDescription), 32),
              "Talvoranth PKCS11 Library       ");
    EXPECT_EQ(info.libraryVersion.major, 2);
    EXPECT_EQ(info.libraryVersion.minor, 7);
}

TEST_F(Lifecycle, WaitForSlotEventIsNotSupportedOnceInitialised) {
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(C_WaitForSlotEvent(0, &slot, nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    ASSERT_EQ(initialize(), CKR_OK);
    EXPECT_EQ(C_WaitForSlotEvent(0, &slot, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
}

TEST_F(Lifecycle, EveryOperationAnswersNotInitialisedBeforeLookingAtItsArguments) {
    CK_ULONG n = 0;
    const std::pair<const char*, CK_RV> results[] = {
        {"C_GetSlotList", C_GetSlotList(CK_FALSE, nullptr, nullptr)},
        {"C_GetSlotInfo", C_GetSlotInfo(0, nullptr)},
        {"C_GetTokenInfo", C_GetTokenInfo(0, nullptr)},
        {"C_GetMechanismList", C_GetMechanismList(0, nullptr, nullptr)},
        {"C_GetMechanismInfo", C_GetMechanismInfo(0, 0, nullptr)},
        {"C_InitToken", C_InitToken(0, nullptr, 0, nullptr)},
        {"C_InitPIN", C_InitPIN(1, nullptr, 1)},
        {"C_SetPIN", C_SetPIN(1, nullptr, 0, nullptr, 0)},
        {"C_OpenSession", C_OpenSession(0, 0, nullptr, nullptr, nullptr)},
        {"C_CloseSession", C_CloseSession(1)},
        {"C_CloseAllSessions", C_CloseAllSessions(0)},
        {"C_GetSessionInfo", C_GetSessionInfo(0, nullptr)},
        {"C_Login", C_Login(1, CKU_USER, nullptr, 0)},
        {"C_Logout", C_Logout(1)},
        {"C_CreateObject", C_CreateObject(1, nullptr, 0, nullptr)},
        {"C_FindObjects", C_FindObjects(1, nullptr, 0, &n)},
        {"C_EncryptInit", C_EncryptInit(1, nullptr, 0)},
        {"C_Sign", C_Sign(1, nullptr, 0, nullptr, nullptr)},
        {"C_SignInit", C_SignInit(1, nullptr, 0)},
        {"C_GenerateKeyPair",
         C_GenerateKeyPair(1, nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr)},
        {"C_SeedRandom", C_SeedRandom(1, nullptr, 0)},
        {"C_GenerateRandom", C_GenerateRandom(1, nullptr, 0)},
    };
    for (const auto& result : results) {
        EXPECT_EQ(result.second, CKR_CRYPTOKI_NOT_INITIALIZED) << result.first;
    }
    // The TRACE line comes first, except for the functions that have none.
    EXPECT_TRUE(context_->has(LOG_TRACE, "C_Login"));
    EXPECT_TRUE(context_->has(LOG_TRACE, "C_GetSlotList"));
    EXPECT_FALSE(context_->has(LOG_TRACE, "C_SignInit"));
    for (const auto& device : devices_) {
        EXPECT_TRUE(device->requests().empty());
    }
}

class ThrowingHooks : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        talvoranth::DeviceHooks throwing = hooks();
        throwing.listDevices =
            [this](const talvoranth::ModuleConfig&) -> std::vector<talvoranth::DeviceId> {
            if (throwBadAlloc_) {
                throw std::bad_alloc();
            }
            throw std::runtime_error("enumeration broke");
        };
        CContext::replaceInstance(previous_);
        context_ = std::make_unique<CTestContext>(config_, throwing);
        context_->setThreshold(LOG_TRACE);
        CContext::replaceInstance(context_.get());
    }
    bool throwBadAlloc_ = false;
};

TEST_F(ThrowingHooks, NoExceptionCrossesTheExportsAndApplicationMutexIsReleased) {
    g_app.created = g_app.destroyed = 0;
    g_app.createResult = CKR_OK;
    CK_C_INITIALIZE_ARGS args = allRoutines(0);
    EXPECT_EQ(initialize(&args), CKR_FUNCTION_FAILED);
    EXPECT_TRUE(context_->has(talvoranth::LOG_ERROR, "enumeration broke"));
    EXPECT_FALSE(context_->initialised());
    EXPECT_EQ(g_app.destroyed, g_app.created);
    throwBadAlloc_ = true;
    EXPECT_EQ(initialize(), CKR_HOST_MEMORY);
    EXPECT_FALSE(context_->initialised());
}

}  // namespace
}  // namespace vexa::test
