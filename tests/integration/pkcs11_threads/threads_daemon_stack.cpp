// The concurrency suite through a real vexa-daemon: one slot, TLS on
// loopback, relayed to one device of a real vexa-sim. All eight threads
// share the module's one connection to the daemon.
#include "integration/pkcs11_threads/threads_suite.h"

namespace vexa::test {
namespace {

// Every line logged, so that the threads share the log as well.
const ModuleStackEnvironment* const environment =
    static_cast<const ModuleStackEnvironment*>(::testing::AddGlobalTestEnvironment(
        new ModuleStackEnvironment(Link::Daemon, {1, "56455841A0A0", {}, 10, ""})));

}  // namespace

const ModuleStackEnvironment& SuiteStack() {
    return *environment;
}

}  // namespace vexa::test
