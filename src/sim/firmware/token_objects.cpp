#include "sim/firmware/token_objects.h"

namespace vexa::sim {

void TokenObjects::sessionClosed(Token& /*token*/, uint32_t handle) {
    store.dropSessionObjects(handle);
}

void TokenObjects::tokenInitialised(Token& /*token*/) {
    store.clear();
}

bool TokenObjects::loadObjects(const nlohmann::json& objects) {
    return objects.is_null() || store.loadTokenObjects(objects);
}

std::unique_ptr<TokenExtension> makeTokenObjects() {
    return std::make_unique<TokenObjects>();
}

ObjectStore& storeOf(Token& token) {
    return token.objects<TokenObjects>().store;
}

Access accessOf(const Token& token, const Session& session) {
    Access a;
    a.session = session.handle;
    a.readWrite = session.readWrite();
    a.user = token.login == LoginState::User;
    a.so = token.login == LoginState::SecurityOfficer;
    return a;
}

}  // namespace vexa::sim
