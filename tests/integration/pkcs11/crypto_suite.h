// One suite of cryptographic operations through the built module, run over
// each stack: straight to vexa-sim over the virtual HID link, and through a
// real vexa-daemon over TLS. Each stack's file starts its processes once per
// executable (the module reads its configuration once per process) and
// hands the loaded module to the suite.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

#include "integration/pkcs11/module_under_test.h"
#include "support/module_stack.h"

namespace vexa::test {

// The module of this executable's stack, loaded and ready for C_Initialize.
inline CLoadedModule* SuiteModule() {
    return SuiteStack().module();
}
// A directory of this run for files the suite writes.
inline std::string SuiteDir() {
    return SuiteStack().stack().dir();
}
// The module's log file: every line, TRACE included.
inline std::string SuiteLogFile() {
    return SuiteStack().stack().file("module.log");
}

}  // namespace vexa::test
