// The PKCS#11 module decoding any reply a device or daemon may send: the
// exported C_ functions called as an application calls them, each exchange
// answered with the fuzzer's bytes. Covers every decoder binding: token and
// session information, attribute values and lengths, found handles, output
// buffers of every cryptographic function, and new object handles.
//
// Input: a lifecycle flag byte, then steps. A step is an operation byte (a
// function id of the call table, see kSteps), that operation's arguments, then one reply (2-byte
// length and bytes) per exchange the operation makes, in order. Whatever the reply, the module must
// return a CK_RV and must not write past any buffer it was given (buffers are allocated to exactly
// their stated size) nor report more bytes or handles than the room it was given.
#include <p11-kit/pkcs11.h>
#include <pb_encode.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

#include "fuzz_reader.h"
#include "pkcs11/context.h"
#include "rpc/function_ids.h"
#include "transport/transport.h"
#include "vexa.pb.h"

namespace {

using vexa::fuzz::Reader;
using vexa::rpc::FunctionId;
using F = FunctionId;

// Where replies come from: canned well-formed ones while the harness sets
// up, the fuzzer's bytes during the operations.
struct Script {
    Reader* reader = nullptr;
    uint32_t nextHandle = 1;
};
Script g_script;

std::vector<uint8_t> cannedReply() {
    Response response = Response_init_zero;
    response.rv = CKR_OK;
    response.has_handle = true;
    response.handle = g_script.nextHandle++;
    std::array<uint8_t, 64> buffer{};
    pb_ostream_t out = pb_ostream_from_buffer(buffer.data(), buffer.size());
    if (!pb_encode(&out, Response_fields, &response)) {
        std::abort();
    }
    return std::vector<uint8_t>(buffer.begin(), buffer.begin() + out.bytes_written);
}

class ScriptedTransport : public talvoranth::CTransport {
public:
    void open() override { open_ = true; }
    bool isOpen() override { return open_; }
    void close() override { open_ = false; }
    int getTimeout() override { return 1000; }
    std::string name() override { return "HID"; }

    int write(const unsigned char* /*data*/, int length) override {
        reply_ = g_script.reader != nullptr ? g_script.reader->block() : cannedReply();
        at_ = 0;
        return length;
    }
    int read(unsigned char* buffer, int capacity) override {
        const size_t n = std::min(reply_.size() - at_, static_cast<size_t>(capacity));
        if (n > 0) {
            std::memcpy(buffer, reply_.data() + at_, n);
        }
        at_ += n;
        return static_cast<int>(n);
    }

private:
    bool open_ = false;
    std::vector<uint8_t> reply_;
    size_t at_ = 0;
};

talvoranth::DeviceHooks scriptedHooks() {
    talvoranth::DeviceHooks hooks;
    hooks.listDevices = [](const talvoranth::ModuleConfig&) {
        talvoranth::DeviceId id;
        id.bytes[0] = 1;
        return std::vector<talvoranth::DeviceId>{id};
    };
    hooks.createTransport = [](const talvoranth::DeviceId&, const talvoranth::ModuleConfig&,
                               talvoranth::ILogTarget*) {
        return std::unique_ptr<talvoranth::CTransport>(new ScriptedTransport());
    };
    hooks.productOf = [](talvoranth::CTransport&) { return std::string("Vexa"); };
    return hooks;
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// A buffer of exactly `size` bytes (a valid pointer also for 0), zeroed so
// that nested attribute arrays carry no pointers.
struct OutBuffer {
    explicit OutBuffer(size_t n) : size(n), bytes(new CK_BYTE[n]()) {}
    size_t size;
    std::unique_ptr<CK_BYTE[]> bytes;
};

// An output of a cryptographic function: null (a size query) or a buffer.
struct Output {
    explicit Output(Reader& in) : buffer(in.u16() % 600) {
        nullBuffer = in.flag();
        length = buffer.size;
    }
    CK_BYTE_PTR ptr() { return nullBuffer ? nullptr : buffer.bytes.get(); }
    CK_ULONG_PTR len() { return &length; }
    // On success into a buffer, no more than its room may be reported.
    void verify(CK_RV rv) const {
        if (rv == CKR_OK && !nullBuffer) {
            check(length <= buffer.size);
        }
    }
    OutBuffer buffer;
    bool nullBuffer;
    CK_ULONG length;
};

// Attribute types a template may name: scalars, booleans, byte strings,
// an array attribute, and any value from the input.
constexpr CK_ATTRIBUTE_TYPE kTypes[] = {
    CKA_CLASS,        CKA_TOKEN,      CKA_PRIVATE,
    CKA_LABEL,        CKA_VALUE,      CKA_KEY_TYPE,
    CKA_ID,           CKA_SENSITIVE,  CKA_MODULUS,
    CKA_MODULUS_BITS, CKA_EC_PARAMS,  CKA_WRAP_TEMPLATE,
    CKA_VALUE_LEN,    CKA_START_DATE, CKA_ALLOWED_MECHANISMS,
};

// A template of up to 8 attributes, each a type, a stated length and a
// buffer of exactly that length, or a null value (a size query for
// C_GetAttributeValue).
struct Template {
    explicit Template(Reader& in) {
        const size_t count = in.u8() % 9;
        for (size_t i = 0; i < count; ++i) {
            const uint8_t pick = in.u8();
            CK_ATTRIBUTE_TYPE type = pick < 240 ? kTypes[pick % std::size(kTypes)] : in.u32();
            const size_t size = in.u8();
            const bool null = in.flag();
            buffers.emplace_back(null ? 0 : size);
            attributes.push_back(
                CK_ATTRIBUTE{type, null ? nullptr : buffers.back().bytes.get(), size});
        }
    }
    CK_ATTRIBUTE_PTR ptr() { return attributes.empty() ? nullptr : attributes.data(); }
    CK_ULONG count() const { return attributes.size(); }

    std::vector<OutBuffer> buffers;
    std::vector<CK_ATTRIBUTE> attributes;
};

// A mechanism with a well-formed parameter block for its type, or any bytes.
struct Mechanism {
    explicit Mechanism(Reader& in) : bytes(in.u8()) {
        switch (in.u8() % 6) {
            case 0:
                mechanism = {CKM_RSA_PKCS, nullptr, 0};
                break;
            case 1:
                oaep = {CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, nullptr, 0};
                mechanism = {CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep};
                break;
            case 2:
                ecdh = {CKD_NULL, 0, nullptr, bytes.size, bytes.bytes.get()};
                mechanism = {CKM_ECDH1_DERIVE, &ecdh, sizeof ecdh};
                break;
            case 3:
                mechanism = {CKM_AES_CBC, bytes.bytes.get(), bytes.size};
                break;
            case 4:
                mechanism = {CKM_ECDSA, nullptr, 0};
                break;
            default:
                mechanism = {in.u32(), bytes.bytes.get(), bytes.size};
                break;
        }
    }
    CK_MECHANISM_PTR ptr() { return &mechanism; }

    OutBuffer bytes;
    CK_RSA_PKCS_OAEP_PARAMS oaep{};
    CK_ECDH1_DERIVE_PARAMS ecdh{};
    CK_MECHANISM mechanism{};
};

using Operation = void (*)(Reader& in, CK_SESSION_HANDLE session);

// Input data for a function: up to 255 bytes.
struct Data {
    explicit Data(Reader& in) : bytes(in.bytes(in.u8())) {}
    CK_BYTE_PTR ptr() { return bytes.empty() ? nullptr : bytes.data(); }
    CK_ULONG size() const { return bytes.size(); }
    std::vector<uint8_t> bytes;
};

using SingleShot = CK_RV (*)(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR);
using Final = CK_RV (*)(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR);
using Init = CK_RV (*)(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE);

template <SingleShot F>
void singleShot(Reader& in, CK_SESSION_HANDLE session) {
    Data data(in);
    Output out(in);
    out.verify(F(session, data.ptr(), data.size(), out.ptr(), out.len()));
}

template <Final F>
void finalPart(Reader& in, CK_SESSION_HANDLE session) {
    Output out(in);
    out.verify(F(session, out.ptr(), out.len()));
}

using Update = CK_RV (*)(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG);

template <Update F>
void update(Reader& in, CK_SESSION_HANDLE session) {
    Data data(in);
    F(session, data.ptr(), data.size());
}

template <Init F>
void init(Reader& in, CK_SESSION_HANDLE session) {
    Mechanism mechanism(in);
    F(session, mechanism.ptr(), in.u32());
}

// One operation per function id of the call table (rpc/function_ids.h): the
// exported C_ function whose exchange carries that id. An operation byte is
// a function id; the corpus generator (make_corpus.py) writes the ids it
// reads from the same table, so the seeds follow the table whatever its
// order.
struct Step {
    FunctionId id;
    Operation run;
};

const Step kSteps[] = {
    // Token and session information.
    {F::GetTokenInfo,
     [](Reader& in, CK_SESSION_HANDLE) {
         CK_TOKEN_INFO info;
         C_GetTokenInfo(in.u8() % 2, &info);
     }},
    {F::GetSessionInfo,
     [](Reader&, CK_SESSION_HANDLE session) {
         CK_SESSION_INFO info;
         C_GetSessionInfo(session, &info);
     }},
    {F::OpenSession,
     [](Reader& in, CK_SESSION_HANDLE) {
         CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
         if (C_OpenSession(0, CKF_SERIAL_SESSION | (in.flag() ? CKF_RW_SESSION : 0), nullptr,
                           nullptr, &handle) == CKR_OK) {
             C_CloseSession(handle);
         }
     }},
    {F::Login,
     [](Reader& in, CK_SESSION_HANDLE session) {
         Data pin(in);
         C_Login(session, in.u8() % 3, pin.ptr(), pin.size());
     }},
    {F::Logout, [](Reader&, CK_SESSION_HANDLE session) { C_Logout(session); }},
    {F::InitPIN,
     [](Reader& in, CK_SESSION_HANDLE session) {
         Data pin(in);
         C_InitPIN(session, pin.ptr(), pin.size());
     }},
    {F::SetPIN,
     [](Reader& in, CK_SESSION_HANDLE session) {
         Data oldPin(in);
         Data newPin(in);
         C_SetPIN(session, oldPin.ptr(), oldPin.size(), newPin.ptr(), newPin.size());
     }},
    {F::GenerateRandom,
     [](Reader& in, CK_SESSION_HANDLE session) {
         OutBuffer random(in.u16() % 600);
         C_GenerateRandom(session, random.bytes.get(), random.size);
     }},
    {F::SeedRandom,
     [](Reader& in, CK_SESSION_HANDLE session) {
         Data seed(in);
         C_SeedRandom(session, seed.ptr(), seed.size());
     }},
    // Objects, attributes and searches.
    {F::GetAttributeValue,
     [](Reader& in, CK_SESSION_HANDLE session) {
         Template templ(in);
         const CK_OBJECT_HANDLE object = in.u32();
         const CK_RV rv = C_GetAttributeValue(session, object, templ.ptr(), templ.count());
         if (rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL || rv == CKR_ATTRIBUTE_SENSITIVE ||
             rv == CKR_ATTRIBUTE_TYPE_INVALID) {
             for (size_t i = 0; i < templ.attributes.size(); ++i) {
                 const CK_ATTRIBUTE& a = templ.attributes[i];
                 if (a.pValue != nullptr && a.ulValueLen != CK_UNAVAILABLE_INFORMATION) {
                     check(a.ulValueLen <= templ.buffers[i].size);
                 }
             }
         }
     }},
    {F::FindObjectsInit,
     [](Reader& in, CK_SESSION_HANDLE session) {
         Template templ(in);
         C_FindObjectsInit(session, templ.ptr(), templ.count());
     }},
    {F::FindObjects,
     [](Reader& in, CK_SESSION_HANDLE session) {
         const CK_ULONG room = in.u8() % 40;
         std::unique_ptr<CK_OBJECT_HANDLE[]> found(room > 0 ? new CK_OBJECT_HANDLE[room] : nullptr);
         CK_ULONG count = 0xDEAD;
         if (C_FindObjects(session, found.get(), room, &count) == CKR_OK) {
             check(count <= room);
         }
     }},
    {F::FindObjectsFinal, [](Reader&, CK_SESSION_HANDLE session) { C_FindObjectsFinal(session); }},
    {F::CreateObject,
     [](Reader& in, CK_SESSION_HANDLE session) {
         Template templ(in);
         CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
         C_CreateObject(session, templ.ptr(), templ.count(), &object);
     }},
    {F::CopyObject,
     [](Reader& in, CK_SESSION_HANDLE session) {
         Template templ(in);
         CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
         C_CopyObject(session, in.u32(), templ.ptr(), templ.count(), &object);
     }},
    {F::GetObjectSize,
     [](Reader& in, CK_SESSION_HANDLE session) {
         CK_ULONG size = 0;
         C_GetObjectSize(session, in.u32(), &size);
     }},
    {F::SetAttributeValue,
     [](Reader& in, CK_SESSION_HANDLE session) {
         Template templ(in);
         C_SetAttributeValue(session, in.u32(), templ.ptr(), templ.count());
     }},
    {F::DestroyObject,
     [](Reader& in, CK_SESSION_HANDLE session) { C_DestroyObject(session, in.u32()); }},
    // Cryptographic operations with output buffers.
    {F::EncryptInit, init<C_EncryptInit>},
    {F::Encrypt, singleShot<C_Encrypt>},
    {F::EncryptUpdate, singleShot<C_EncryptUpdate>},
    {F::EncryptFinal, finalPart<C_EncryptFinal>},
    {F::DecryptInit, init<C_DecryptInit>},
    {F::Decrypt, singleShot<C_Decrypt>},
    {F::DecryptUpdate, singleShot<C_DecryptUpdate>},
    {F::DecryptFinal, finalPart<C_DecryptFinal>},
    {F::SignInit, init<C_SignInit>},
    {F::Sign, singleShot<C_Sign>},
    {F::SignUpdate, update<C_SignUpdate>},
    {F::SignFinal, finalPart<C_SignFinal>},
    {F::VerifyInit, init<C_VerifyInit>},
    {F::Verify,
     [](Reader& in, CK_SESSION_HANDLE session) {
         Data data(in);
         Data signature(in);
         C_Verify(session, data.ptr(), data.size(), signature.ptr(), signature.size());
     }},
    {F::VerifyUpdate, update<C_VerifyUpdate>},
    {F::VerifyFinal, update<C_VerifyFinal>},
    {F::DigestInit,
     [](Reader& in, CK_SESSION_HANDLE session) {
         Mechanism mechanism(in);
         C_DigestInit(session, mechanism.ptr());
     }},
    // The module's single-part C_Digest starts with the device's digest
    // update: a flag byte picks it or C_DigestUpdate.
    {F::DigestUpdate,
     [](Reader& in, CK_SESSION_HANDLE session) {
         if (in.flag()) {
             singleShot<C_Digest>(in, session);
         } else {
             update<C_DigestUpdate>(in, session);
         }
     }},
    {F::DigestKey, [](Reader& in, CK_SESSION_HANDLE session) { C_DigestKey(session, in.u32()); }},
    {F::DigestFinal, finalPart<C_DigestFinal>},
    // Keys.
    {F::GenerateKey,
     [](Reader& in, CK_SESSION_HANDLE session) {
         Mechanism mechanism(in);
         Template templ(in);
         CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
         C_GenerateKey(session, mechanism.ptr(), templ.ptr(), templ.count(), &key);
     }},
    {F::GenerateKeyPair,
     [](Reader& in, CK_SESSION_HANDLE session) {
         Mechanism mechanism(in);
         Template pub(in);
         Template priv(in);
         CK_OBJECT_HANDLE a = CK_INVALID_HANDLE;
         CK_OBJECT_HANDLE b = CK_INVALID_HANDLE;
         C_GenerateKeyPair(session, mechanism.ptr(), pub.ptr(), pub.count(), priv.ptr(),
                           priv.count(), &a, &b);
     }},
    {F::WrapKey,
     [](Reader& in, CK_SESSION_HANDLE session) {
         Mechanism mechanism(in);
         const CK_OBJECT_HANDLE wrapping = in.u32();
         Output out(in);
         out.verify(C_WrapKey(session, mechanism.ptr(), wrapping, in.u32(), out.ptr(), out.len()));
     }},
    {F::UnwrapKey,
     [](Reader& in, CK_SESSION_HANDLE session) {
         Mechanism mechanism(in);
         Data wrapped(in);
         Template templ(in);
         CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
         C_UnwrapKey(session, mechanism.ptr(), in.u32(), wrapped.ptr(), wrapped.size(), templ.ptr(),
                     templ.count(), &key);
     }},
    {F::DeriveKey,
     [](Reader& in, CK_SESSION_HANDLE session) {
         Mechanism mechanism(in);
         Template templ(in);
         CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
         C_DeriveKey(session, mechanism.ptr(), in.u32(), templ.ptr(), templ.count(), &key);
     }},
};

// The operation of each function id, filled from kSteps at start-up; ids
// without a row in the call table, or without an operation here, have none
// and their step is skipped.
Operation g_operations[vexa::rpc::kMaxFunctionId + 1] = {};

void indexOperations() {
    for (const Step& step : kSteps) {
        const auto id = static_cast<uint32_t>(step.id);
        // An operation under an id without a row, or twice, is a mistake in
        // this file.
        check(vexa::rpc::findFunction(id) != nullptr && g_operations[id] == nullptr);
        g_operations[id] = step.run;
    }
}

CK_RV onlyOk(CK_VOID_PTR) {
    return CKR_OK;
}
CK_RV newMutex(CK_VOID_PTR_PTR mutex) {
    *mutex = reinterpret_cast<CK_VOID_PTR>(1);
    return CKR_OK;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    static std::ostringstream console;
    static vexa::pkcs11::CContext context(talvoranth::ModuleConfig{}, scriptedHooks(), &console);
    context.setThreshold(talvoranth::LOG_TRACE);
    vexa::pkcs11::CContext::replaceInstance(&context);
    indexOperations();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    // 1. Set-up with canned replies: initialise (plain, OS locking, or the
    //    application's mutex routines) and open one session.
    g_script.reader = nullptr;
    CK_C_INITIALIZE_ARGS args{};
    const uint8_t mode = in.u8() % 3;
    if (mode == 1) {
        args.flags = CKF_OS_LOCKING_OK;
    } else if (mode == 2) {
        args.CreateMutex = newMutex;
        args.DestroyMutex = onlyOk;
        args.LockMutex = onlyOk;
        args.UnlockMutex = onlyOk;
    }
    if (C_Initialize(mode == 0 ? nullptr : &args) != CKR_OK) {
        std::abort();
    }
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);

    // 2. The operations, answered by the fuzzer.
    g_script.reader = &in;
    for (int step = 0; step < 16 && !in.empty(); ++step) {
        // Bytes above the largest id fold onto the ids, so that few steps
        // are spent on ids that have no operation.
        if (Operation run = g_operations[in.u8() % std::size(g_operations)]) {
            run(in, session);
        }
    }

    // 3. Back to an uninitialised module.
    g_script.reader = nullptr;
    C_Finalize(nullptr);
    return 0;
}
