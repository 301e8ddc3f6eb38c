// A module context over in-memory devices, installed as the process-wide
// context so that tests call the exported C_ functions as an application
// does. Devices answer like a small token unless a test scripts them.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "pkcs11/context.h"
#include "support/function_id.h"
#include "unit/rpc/memory_device.h"

namespace vexa::test {

using vexa::pkcs11::CContext;

// A context that keeps its log lines instead of writing them.
class CTestContext : public CContext {
public:
    using CContext::CContext;
    using CContext::log;
    void log(int level, const std::string& text) override;

    std::vector<std::pair<int, std::string>> lines() const;
    bool has(int level, const std::string& text) const;
    size_t count(const std::string& text) const;
    void clearLines();

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<int, std::string>> lines_;
};

// What the default device answers: a session handle per open session
// ((slot + 1) << 16 plus a running number), session information, token information, random
// bytes, and CKR_OK for everything else.
Reply defaultAnswer(int slot, const SeenRequest& seen);

// The default answer, and for output calls `bytes` (or only their length for
// a size query, or CKR_BUFFER_TOO_SMALL when the stated capacity is short).
Reply outputAnswer(const SeenRequest& seen, const std::vector<uint8_t>& bytes);

class ModuleTest : public ::testing::Test {
protected:
    // `devices` in-memory devices, slot i being device i.
    explicit ModuleTest(size_t devices = 2);
    void SetUp() override;
    void TearDown() override;

    // The hooks over devices_; createTransport makes no transport for the
    // indexes in withoutTransport_.
    talvoranth::DeviceHooks hooks();
    CK_RV initialize(CK_VOID_PTR args = nullptr);
    // Opens a serial session on slot; fails the test when it cannot.
    CK_SESSION_HANDLE openSession(CK_SLOT_ID slot);
    // Requests of a device that carry this function id.
    std::vector<SeenRequest> requestsOf(size_t device, FunctionId function) const;

    talvoranth::ModuleConfig config_;
    std::vector<std::shared_ptr<CMemoryDevice>> devices_;
    std::vector<size_t> withoutTransport_;
    std::atomic<int> listings_{0};
    std::unique_ptr<CTestContext> context_;
    CContext* previous_ = nullptr;
};

}  // namespace vexa::test
