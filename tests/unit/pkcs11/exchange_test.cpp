// Device exchanges through the module context: lazy open, the slot that
// travels with each call, failures of the transport, the time-outs, and
// serialisation under both locking modes with several threads.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "pkcs11/device_call.h"
#include "unit/pkcs11/module_fixture.h"

namespace vexa::test {
namespace {

using talvoranth::LOG_ERROR;
using vexa::pkcs11::CDeviceCall;
using vexa::pkcs11::CSlotTable;

class Exchange : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_EQ(initialize(), CKR_OK);
        context_->clearLines();
    }
};

TEST_F(Exchange, TransportOpensAtTheFirstExchangeAndStaysOpen) {
    // The clock setting of C_Initialize was each transport's first exchange.
    EXPECT_EQ(devices_[0]->opens, 1);
    openSession(0);
    openSession(0);
    EXPECT_EQ(devices_[0]->opens, 1);
    EXPECT_EQ(devices_[0]->closes, 0);
    EXPECT_EQ(context_->currentSlot(), CSlotTable::kExchanged);
}

TEST_F(Exchange, TransportExceptionIsLoggedAndGivesFunctionFailed) {
    devices_[1]->setResponder(
        [](const SeenRequest&) { return Reply::throwOnRead("Invalid HID packet id received"); });
    CK_SESSION_HANDLE handle = 0;
    EXPECT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &handle), CKR_FUNCTION_FAILED);
    EXPECT_TRUE(context_->has(LOG_ERROR, "Invalid HID packet id received"));
    EXPECT_TRUE(context_->has(LOG_ERROR, "no response from transport."));
    EXPECT_EQ(context_->sessions().size(), 0u);
    // The failure did not re-route anything: currentSlot keeps the slot.
    EXPECT_EQ(context_->currentSlot(), 1);
}

class WithoutTransport : public Exchange {
protected:
    WithoutTransport() { withoutTransport_ = {1}; }
};

TEST_F(WithoutTransport, SlotExchangesFindNoPort) {
    CK_SESSION_HANDLE handle = 0;
    EXPECT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &handle), CKR_FUNCTION_FAILED);
    EXPECT_TRUE(context_->has(LOG_ERROR, "Port not found"));
    EXPECT_TRUE(context_->has(LOG_ERROR, "no response from transport."));
    CK_SLOT_INFO info;
    EXPECT_EQ(C_GetSlotInfo(1, &info), CKR_OK);
    EXPECT_EQ(info.flags, 0u);
}

TEST_F(Exchange, SessionMappedToANegativeSlotIsRefusedWithoutExchange) {
    devices_[0]->clearRequests();
    const CK_SESSION_HANDLE handle = context_->sessions().add(-1, 0x77);
    EXPECT_EQ(C_Logout(handle), CKR_SESSION_HANDLE_INVALID);
    EXPECT_TRUE(devices_[0]->requests().empty());
}

TEST_F(Exchange, KeyGenerationTimeLimitHoldsForOneExchangeOnly) {
    const CK_SESSION_HANDLE handle = openSession(0);
    const Reply replies[] = {Reply::withRv(CKR_OK), Reply::noReply(),
                             Reply::throwOnRead("tls read failed")};
    for (const Reply& reply : replies) {
        devices_[0]->setResponder([reply](const SeenRequest&) { return reply; });
        CDeviceCall call(FunctionId::GenerateKeyPair);
        call.sendToSessionForKeyGeneration(*context_, handle);
        EXPECT_EQ(devices_[0]->timeoutAtRead, config_.keyTimeoutMs);
        EXPECT_EQ(devices_[0]->timeout, config_.timeoutMs);
        // An ordinary exchange runs with the ordinary time-out.
        C_Logout(handle);
        EXPECT_EQ(devices_[0]->timeoutAtRead, config_.timeoutMs);
    }
}

// Threads that each open, log in, log out and close sessions on both slots.
void churn(int rounds, std::atomic<int>& failures) {
    for (int i = 0; i < rounds; ++i) {
        for (CK_SLOT_ID slot = 0; slot < 2; ++slot) {
            CK_SESSION_HANDLE handle = 0;
            CK_UTF8CHAR pin[] = "123456";
            CK_SESSION_INFO info;
            if (C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle) != CKR_OK ||
                C_Login(handle, CKU_USER, pin, 6) != CKR_OK ||
                C_GetSessionInfo(handle, &info) != CKR_OK || info.slotID != slot ||
                C_Logout(handle) != CKR_OK || C_CloseSession(handle) != CKR_OK) {
                ++failures;
            }
        }
    }
}

class Threads : public ModuleTest {
protected:
    void run(CK_C_INITIALIZE_ARGS* args) {
        ASSERT_EQ(initialize(args), CKR_OK);
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back(churn, 25, std::ref(failures));
        }
        for (auto& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(failures, 0);
        for (size_t slot = 0; slot < 2; ++slot) {
            EXPECT_FALSE(devices_[slot]->overlapped) << slot;
            // Every request of a session reached the device that issued it.
            for (const SeenRequest& seen : devices_[slot]->requests()) {
                if (seen.request.has_session) {
                    EXPECT_EQ(seen.request.session >> 16, slot + 1);
                }
            }
            EXPECT_EQ(requestsOf(slot, FunctionId::Login).size(), 200u);
        }
        EXPECT_EQ(context_->sessions().size(), 0u);
    }
};

TEST_F(Threads, OperatingSystemLockingSerialisesEveryExchange) {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    run(&args);
}

// Mutex routines of an application that serialises with its own mutexes.
CK_RV createMutex(CK_VOID_PTR_PTR mutex) {
    *mutex = new std::mutex;
    return CKR_OK;
}
CK_RV destroyMutex(CK_VOID_PTR mutex) {
    delete static_cast<std::mutex*>(mutex);
    return CKR_OK;
}
CK_RV lockMutex(CK_VOID_PTR mutex) {
    static_cast<std::mutex*>(mutex)->lock();
    return CKR_OK;
}
CK_RV unlockMutex(CK_VOID_PTR mutex) {
    static_cast<std::mutex*>(mutex)->unlock();
    return CKR_OK;
}

TEST_F(Threads, ApplicationMutexSerialisesEveryExchange) {
    CK_C_INITIALIZE_ARGS args{};
    args.CreateMutex = &createMutex;
    args.DestroyMutex = &destroyMutex;
    args.LockMutex = &lockMutex;
    args.UnlockMutex = &unlockMutex;
    run(&args);
}

}  // namespace
}  // namespace vexa::test
