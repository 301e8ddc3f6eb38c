// The concurrency suite: one loaded module, eight threads, many rounds of
// open session / login / find / sign / close on every slot of the stack.
// Each stack file starts its processes once per executable and provides
// these.
#pragma once

#include <cstddef>

#include "integration/pkcs11/module_under_test.h"
#include "support/module_stack.h"

namespace vexa::test {

// The module of this executable's stack, loaded and ready for C_Initialize.
inline CLoadedModule* ThreadsModule() {
    return SuiteStack().module();
}
// How many slots the stack presents.
inline size_t ThreadsSlotCount() {
    return SuiteStack().stack().slotCount();
}

}  // namespace vexa::test
