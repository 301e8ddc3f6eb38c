// Our code alone: the exported C_ functions of the module over an in-memory
// transport that answers each function id with a fixed reply. One
// iteration is everything the module does for the calls named: argument
// checks, routing, encoding, the exchange through the slot table and its
// lock, decoding, and the output conventions. Nothing waits on a device.
#include <benchmark/benchmark.h>
#include <p11-kit/pkcs11.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/proto_writer.h"
#include "pkcs11/context.h"
#include "rpc/function_ids.h"
#include "transport/transport.h"

namespace vexa::bench {
namespace {

using rpc::FunctionId;

// Reply bytes by function id; ids without an entry answer CKR_OK alone.
class CReplyTable {
public:
    CReplyTable() {
        set(FunctionId::OpenSession, ProtoWriter().varint(1, CKR_OK).varint(2, 0x10001).out());
        set(FunctionId::GetSessionInfo, reply::sessionInfo());
        set(FunctionId::GenerateRandom, reply::data(32, false));
        set(FunctionId::Sign, reply::data(64, true));
        set(FunctionId::FindObjects, reply::handles(1));
        ProtoWriter label;
        label.varint(1, CKA_LABEL).varint(2, 16).bytes(3, Bytes(16, 'k'));
        set(FunctionId::GetAttributeValue, ProtoWriter().varint(1, CKR_OK).message(6, label).out());
    }
    const Bytes& of(uint32_t id) const { return id < replies_.size() ? replies_[id] : ok_; }

private:
    void set(FunctionId id, Bytes reply) {
        const auto index = static_cast<size_t>(id);
        if (replies_.size() <= index) {
            replies_.resize(index + 1, ok_);
        }
        replies_[index] = std::move(reply);
    }
    Bytes ok_ = reply::status(CKR_OK);
    std::vector<Bytes> replies_;
};

// A transport whose device answers at once: write notes the function id
// (the request's first field), read hands back that function's reply.
class CMemoryTransport : public talvoranth::CTransport {
public:
    explicit CMemoryTransport(const CReplyTable& replies) : replies_(replies) {}
    void open() override { open_ = true; }
    bool isOpen() override { return open_; }
    void close() override { open_ = false; }
    int getTimeout() override { return 0; }
    int write(const unsigned char* data, int length) override {
        // Tag 1 as a varint, then the id; every id we send is below 128.
        pending_ = length >= 2 && data[0] == 0x08 ? data[1] : 0;
        return length;
    }
    int read(unsigned char* buffer, int capacity) override {
        const Bytes& reply = replies_.of(pending_);
        const int n =
            static_cast<int>(reply.size()) < capacity ? static_cast<int>(reply.size()) : capacity;
        std::memcpy(buffer, reply.data(), static_cast<size_t>(n));
        return n;
    }
    std::string name() override { return "MEM"; }

private:
    const CReplyTable& replies_;
    bool open_ = false;
    uint32_t pending_ = 0;
};

// The module's context over one in-memory device, in place of the
// process-wide one for the life of the fixture, with a session open.
class CModuleOverMemory {
public:
    CModuleOverMemory() {
        talvoranth::DeviceHooks hooks;
        hooks.listDevices = [](const talvoranth::ModuleConfig&) {
            std::vector<talvoranth::DeviceId> ids(1);
            ids[0].bytes[0] = 1;
            return ids;
        };
        hooks.createTransport = [this](const talvoranth::DeviceId&, const talvoranth::ModuleConfig&,
                                       talvoranth::ILogTarget*) {
            return std::unique_ptr<talvoranth::CTransport>(new CMemoryTransport(replies_));
        };
        hooks.productOf = [](talvoranth::CTransport&) { return std::string("Vexa"); };
        context_ = std::make_unique<pkcs11::CContext>(talvoranth::ModuleConfig{}, hooks);
        previous_ = pkcs11::CContext::replaceInstance(context_.get());
        CK_C_INITIALIZE_ARGS args{};
        args.flags = CKF_OS_LOCKING_OK;
        ok_ = C_Initialize(&args) == CKR_OK && C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION,
                                                             nullptr, nullptr, &session_) == CKR_OK;
    }
    ~CModuleOverMemory() {
        C_Finalize(nullptr);
        pkcs11::CContext::replaceInstance(previous_);
    }
    CModuleOverMemory(const CModuleOverMemory&) = delete;
    CModuleOverMemory& operator=(const CModuleOverMemory&) = delete;

    bool ok() const { return ok_; }
    CK_SESSION_HANDLE session() const { return session_; }

private:
    CReplyTable replies_;
    std::unique_ptr<pkcs11::CContext> context_;
    pkcs11::CContext* previous_ = nullptr;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    bool ok_ = false;
};

// One row: the calls of one iteration; CKR_OK from each, or the row is
// skipped with the code.
struct Row {
    const char* name;
    int calls;  // device exchanges per iteration
    CK_RV (*run)(CK_SESSION_HANDLE);
};

CK_RV getSessionInfo(CK_SESSION_HANDLE session) {
    CK_SESSION_INFO info;
    return C_GetSessionInfo(session, &info);
}

CK_RV generateRandom(CK_SESSION_HANDLE session) {
    CK_BYTE random[32];
    return C_GenerateRandom(session, random, sizeof random);
}

CK_RV getLabel(CK_SESSION_HANDLE session) {
    CK_BYTE label[64];
    CK_ATTRIBUTE attribute{CKA_LABEL, label, sizeof label};
    return C_GetAttributeValue(session, 0x1001, &attribute, 1);
}

CK_RV sign(CK_SESSION_HANDLE session) {
    CK_MECHANISM mechanism{CKM_ECDSA, nullptr, 0};
    CK_BYTE hash[32] = {};
    CK_BYTE signature[64];
    CK_ULONG length = sizeof signature;
    CK_RV rv = C_SignInit(session, &mechanism, 0x1002);
    return rv != CKR_OK ? rv : C_Sign(session, hash, sizeof hash, signature, &length);
}

CK_RV findByLabel(CK_SESSION_HANDLE session) {
    static char label[] = "bench";
    CK_ATTRIBUTE attribute{CKA_LABEL, label, sizeof label - 1};
    CK_OBJECT_HANDLE found[4];
    CK_ULONG count = 0;
    CK_RV rv = C_FindObjectsInit(session, &attribute, 1);
    if (rv == CKR_OK) {
        rv = C_FindObjects(session, found, 4, &count);
    }
    const CK_RV final = C_FindObjectsFinal(session);
    return rv != CKR_OK ? rv : final;
}

const Row kRows[] = {
    {"GetSessionInfo", 1, getSessionInfo},        {"GenerateRandom32", 1, generateRandom},
    {"GetAttributeValueLabel", 1, getLabel},      {"SignInitSign", 2, sign},
    {"FindObjectsInitFindFinal", 3, findByLabel},
};

void runRow(benchmark::State& state, const Row& row) {
    CModuleOverMemory module;
    if (!module.ok()) {
        state.SkipWithError("module set-up failed");
        return;
    }
    for (auto _ : state) {
        const CK_RV rv = row.run(module.session());
        if (rv != CKR_OK) {
            char text[64];
            std::snprintf(text, sizeof text, "n/a (CKR 0x%lx)", rv);
            state.SkipWithError(text);
            break;
        }
    }
    // The time of one device exchange.
    state.counters["per_call"] =
        benchmark::Counter(static_cast<double>(state.iterations() * row.calls),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

const bool registered = [] {
    for (const Row& row : kRows) {
        benchmark::RegisterBenchmark((std::string("Module/InMemory/") + row.name).c_str(), runRow,
                                     row);
    }
    return true;
}();

}  // namespace
}  // namespace vexa::bench
