// The crypto and objects suites through a real vexa-daemon: TLS on
// loopback, relayed to one device of a real vexa-sim. The module has no
// virtual HID link.
#include "integration/pkcs11/crypto_suite.h"

namespace vexa::test {
namespace {

// The module's own configuration: every log line into a file.
const ModuleStackEnvironment* const environment =
    static_cast<const ModuleStackEnvironment*>(::testing::AddGlobalTestEnvironment(
        new ModuleStackEnvironment(Link::Daemon, {1, "564558410009", {}, 10, ""})));

}  // namespace

const ModuleStackEnvironment& SuiteStack() {
    return *environment;
}

}  // namespace vexa::test
