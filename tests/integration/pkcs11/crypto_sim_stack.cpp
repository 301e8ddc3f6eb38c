// The crypto and objects suites straight to vexa-sim: one simulated device
// reached over the virtual HID link.
#include "integration/pkcs11/crypto_suite.h"

namespace vexa::test {
namespace {

// The module's own configuration: every log line into a file.
const ModuleStackEnvironment* const environment =
    static_cast<const ModuleStackEnvironment*>(::testing::AddGlobalTestEnvironment(
        new ModuleStackEnvironment(Link::Hid, {1, "", {}, 10, ""})));

}  // namespace

const ModuleStackEnvironment& SuiteStack() {
    return *environment;
}

}  // namespace vexa::test
