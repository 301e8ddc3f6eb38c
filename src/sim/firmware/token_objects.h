// The object store as the firmware's token extension: it keeps the token's
// objects, drops session objects when their session closes, empties itself
// when the token is initialised, and goes into the state file.
#pragma once

#include "sim/types/extensions.h"
#include "sim/firmware/token.h"
#include "sim/objects/object_store.h"

namespace vexa::sim {

class TokenObjects final : public TokenExtension {
public:
    ObjectStore store;

    void sessionClosed(Token& token, uint32_t handle) override;
    void tokenInitialised(Token& token) override;
    uint32_t usedPublicMemory() const override { return store.usedMemory(false); }
    uint32_t usedPrivateMemory() const override { return store.usedMemory(true); }
    nlohmann::json saveObjects() const override { return store.saveTokenObjects(); }
    bool loadObjects(const nlohmann::json& objects) override;
};

std::unique_ptr<TokenExtension> makeTokenObjects();

// The store of a token whose extension is TokenObjects.
ObjectStore& storeOf(Token& token);

// What a session may do under the token's login state.
Access accessOf(const Token& token, const Session& session);

}  // namespace vexa::sim
