#include "unit/pkcs11/module_fixture.h"

#include <algorithm>
#include <cstring>

namespace vexa::test {

void CTestContext::log(int level, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(level, text);
}

std::vector<std::pair<int, std::string>> CTestContext::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool CTestContext::has(int level, const std::string& text) const {
    const auto all = lines();
    return std::any_of(all.begin(), all.end(), [&](const auto& line) {
        return line.first == level && line.second == text;
    });
}

size_t CTestContext::count(const std::string& text) const {
    const auto all = lines();
    return static_cast<size_t>(std::count_if(
        all.begin(), all.end(), [&](const auto& line) { return line.second == text; }));
}

void CTestContext::clearLines() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

namespace {

template <class Field>
void setText(Field& field, const char* text) {
    field.size = static_cast<pb_size_t>(std::min(std::strlen(text), sizeof field.bytes));
    std::memcpy(field.bytes, text, field.size);
}

}  // namespace

Reply defaultAnswer(int slot, const SeenRequest& seen) {
    static std::atomic<uint32_t> next{1};
    Reply reply = Reply::withRv(CKR_OK);
    switch (static_cast<FunctionId>(seen.functionId())) {
        case FunctionId::OpenSession:
            reply.response.has_handle = true;
            reply.response.handle = (static_cast<uint32_t>(slot + 1) << 16) + next++;
            break;
        case FunctionId::GetSessionInfo:
            reply.response.has_session_info = true;
            reply.response.session_info.state = CKS_RW_USER_FUNCTIONS;
            reply.response.session_info.flags = CKF_SERIAL_SESSION | CKF_RW_SESSION;
            reply.response.session_info.device_error = 7;
            break;
        case FunctionId::GetTokenInfo: {
            reply.response.has_token_info = true;
            TokenInfo& info = reply.response.token_info;
            setText(info.label, "Memory Token");
            setText(info.manufacturer_id, "Talvoranth");
            setText(info.model, "Vexa");
            setText(info.serial_number, "000000000001");
            setText(info.utc_time, "2026121001020300");
            info.flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED;
            info.max_session_count = 0xFFFFFFFFu;
            info.session_count = 1;
            info.max_rw_session_count = 16;
            info.max_pin_len = 32;
            info.min_pin_len = 4;
            info.total_public_memory = 0xFFFFFFFFu;
            info.hardware_version_major = 2;
            info.firmware_version_major = 1;
            info.firmware_version_minor = 6;
            break;
        }
        case FunctionId::GenerateRandom:
            reply.data = std::vector<uint8_t>(seen.request.out_capacity, 0xA5);
            break;
        default:
            break;
    }
    return reply;
}

Reply outputAnswer(const SeenRequest& seen, const std::vector<uint8_t>& bytes) {
    Reply reply = defaultAnswer(0, seen);
    switch (static_cast<FunctionId>(seen.functionId())) {
        case FunctionId::Encrypt:
        case FunctionId::Decrypt:
        case FunctionId::EncryptUpdate:
        case FunctionId::DecryptUpdate:
        case FunctionId::EncryptFinal:
        case FunctionId::DecryptFinal:
        case FunctionId::Sign:
        case FunctionId::SignFinal:
        case FunctionId::DigestFinal:
        case FunctionId::WrapKey:
            reply.response.has_length = true;
            reply.response.length = static_cast<uint32_t>(bytes.size());
            if (seen.request.has_length_only && seen.request.length_only) {
                break;
            }
            if (seen.request.has_out_capacity && seen.request.out_capacity < bytes.size()) {
                reply.response.rv = CKR_BUFFER_TOO_SMALL;
                break;
            }
            reply.data = bytes;
            break;
        default:
            break;
    }
    return reply;
}

ModuleTest::ModuleTest(size_t devices) {
    for (size_t i = 0; i < devices; ++i) {
        devices_.push_back(std::make_shared<CMemoryDevice>());
        const int slot = static_cast<int>(i);
        devices_.back()->setResponder(
            [slot](const SeenRequest& seen) { return defaultAnswer(slot, seen); });
    }
}

void ModuleTest::SetUp() {
    context_ = std::make_unique<CTestContext>(config_, hooks());
    context_->setThreshold(talvoranth::LOG_TRACE);
    previous_ = CContext::replaceInstance(context_.get());
}

void ModuleTest::TearDown() {
    if (context_->initialised()) {
        context_->finalize(nullptr);
    }
    CContext::replaceInstance(previous_);
}

talvoranth::DeviceHooks ModuleTest::hooks() {
    talvoranth::DeviceHooks hooks;
    hooks.listDevices = [this](const talvoranth::ModuleConfig&) {
        ++listings_;
        std::vector<talvoranth::DeviceId> ids(devices_.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            ids[i].bytes[0] = static_cast<uint8_t>(i + 1);
        }
        return ids;
    };
    hooks.createTransport =
        [this](const talvoranth::DeviceId& deviceId, const talvoranth::ModuleConfig&,
               talvoranth::ILogTarget*) -> std::unique_ptr<talvoranth::CTransport> {
        const size_t index = deviceId.bytes[0] - 1u;
        if (std::find(withoutTransport_.begin(), withoutTransport_.end(), index) !=
            withoutTransport_.end()) {
            return nullptr;
        }
        return std::make_unique<CMemoryTransport>(devices_.at(index));
    };
    hooks.productOf = [this](talvoranth::CTransport& transport) {
        auto* memory = dynamic_cast<CMemoryTransport*>(&transport);
        return memory != nullptr ? memory->product() : std::string();
    };
    return hooks;
}

CK_RV ModuleTest::initialize(CK_VOID_PTR args) {
    return C_Initialize(args);
}

CK_SESSION_HANDLE ModuleTest::openSession(CK_SLOT_ID slot) {
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    EXPECT_EQ(C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &handle),
              CKR_OK);
    return handle;
}

std::vector<SeenRequest> ModuleTest::requestsOf(size_t device, FunctionId function) const {
    std::vector<SeenRequest> matching;
    for (const SeenRequest& seen : devices_.at(device)->requests()) {
        if (seen.functionId() == id(function)) {
            matching.push_back(seen);
        }
    }
    return matching;
}

}  // namespace vexa::test
