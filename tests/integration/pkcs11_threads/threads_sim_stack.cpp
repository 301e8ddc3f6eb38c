// The concurrency suite straight to vexa-sim: two simulated devices reached
// over the virtual HID link, one slot each.
#include "integration/pkcs11_threads/threads_suite.h"

namespace vexa::test {
namespace {

// Every line logged, so that the threads share the log as well.
const ModuleStackEnvironment* const environment =
    static_cast<const ModuleStackEnvironment*>(::testing::AddGlobalTestEnvironment(
        new ModuleStackEnvironment(Link::Hid, {2, "", {}, 10, ""})));

}  // namespace

const ModuleStackEnvironment& SuiteStack() {
    return *environment;
}

}  // namespace vexa::test
