#include "sim/firmware/handlers.h"

#include <p11-kit/pkcs11.h>

#include <iterator>
#include <stdexcept>
#include <string>

#include "sim/firmware/token_objects.h"

namespace vexa::sim {

void Registry::add(const HandlerEntry* entries, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const HandlerEntry& entry = entries[i];
        const auto id = static_cast<uint32_t>(entry.functionId);
        const rpc::FunctionInfo* row = rpc::findFunction(id);
        if (row == nullptr || entry.handler == nullptr) {
            throw std::logic_error("bad handler entry for function id " + std::to_string(id));
        }
        if (table_[id].handler != nullptr) {
            throw std::logic_error("function id " + std::to_string(id) + " has two handlers");
        }
        table_[id] = Dispatch{entry.handler, row->routing};
    }
}

const Dispatch* Registry::find(uint32_t functionId) const {
    if (functionId > rpc::kMaxFunctionId || table_[functionId].handler == nullptr) {
        return nullptr;
    }
    return &table_[functionId];
}

using F = rpc::FunctionId;
using namespace handlers;

const HandlerEntry kFirmwareHandlers[] = {
    {F::GenerateKey, &generateKey},
    {F::EncryptInit, &encryptInit},
    {F::Encrypt, &encrypt},
    {F::DecryptInit, &decryptInit},
    {F::Decrypt, &decrypt},
    {F::EncryptUpdate, &encryptUpdate},
    {F::DecryptUpdate, &decryptUpdate},
    {F::EncryptFinal, &encryptFinal},
    {F::DecryptFinal, &decryptFinal},
    {F::InitToken, &initToken},
    {F::OpenSession, &openSession},
    {F::CloseSession, &closeSession},
    {F::Login, &login},
    {F::CloseAllSessions, &closeAllSessions},
    {F::GenerateKeyPair, &generateKeyPair},
    {F::GetAttributeValue, &getAttributeValue},
    {F::GetSessionInfo, &getSessionInfo},
    {F::InitPIN, &initPin},
    {F::Logout, &logout},
    {F::SetPIN, &setPin},
    {F::SignInit, &signInit},
    {F::Sign, &sign},
    {F::VerifyInit, &verifyInit},
    {F::Verify, &verify},
    {F::SignUpdate, &signUpdate},
    {F::VerifyUpdate, &verifyUpdate},
    {F::SignFinal, &signFinal},
    {F::VerifyFinal, &verifyFinal},
    {F::DigestInit, &digestInit},
    {F::DigestUpdate, &digestUpdate},
    {F::DigestFinal, &digestFinal},
    {F::FindObjectsInit, &findObjectsInit},
    {F::GetTokenInfo, &getTokenInfo},
    {F::CreateObject, &createObject},
    {F::SetAttributeValue, &setAttributeValue},
    {F::FindObjects, &findObjects},
    {F::FindObjectsFinal, &findObjectsFinal},
    {F::DestroyObject, &destroyObject},
    {F::CopyObject, &copyObject},
    {F::GenerateRandom, &generateRandom},
    {F::WrapKey, &wrapKey},
    {F::UnwrapKey, &unwrapKey},
    {F::SetDeviceClock, &setDeviceClock},
    {F::DeriveKey, &deriveKey},
    {F::DigestKey, &digestKey},
    {F::SeedRandom, &seedRandom},
    {F::GetObjectSize, &getObjectSize},
};
const size_t kFirmwareHandlerCount = std::size(kFirmwareHandlers);

const Registry& firmwareRegistry() {
    static const Registry registry = [] {
        Registry r;
        r.add(kFirmwareHandlers);
        r.setTokenExtensionFactory(&makeTokenObjects);
        return r;
    }();
    return registry;
}

crypto::OutputSpec outputSpecOf(const DeviceRequest& request) {
    return crypto::OutputSpec{request.lengthOnly.value_or(false), request.outCapacity};
}

uint32_t putOutput(Call& call, uint32_t rv, crypto::Output& out) {
    call.response.length = out.length;
    if (rv == CKR_OK && out.data) {
        call.response.data = std::move(out.data);
    }
    return rv;
}

uint32_t putOutput(Call& call, Bytes output) {
    const crypto::OutputSpec wanted = outputSpecOf(call.request);
    crypto::Output out;
    out.length = static_cast<uint32_t>(output.size());
    uint32_t rv = CKR_OK;
    if (!wanted.lengthOnly) {
        if (wanted.fits(output.size())) {
            out.data = std::move(output);
        } else {
            rv = CKR_BUFFER_TOO_SMALL;
        }
    }
    return putOutput(call, rv, out);
}

}  // namespace vexa::sim
