#include "pkcs11/export_guard.h"

namespace vexa::pkcs11 {

void logEscapedException(const char* what) noexcept {
    try {
        if (CContext* context = CContext::existingInstance()) {
            context->log(talvoranth::LOG_ERROR, "%s", what);
        }
    } catch (...) {
        // Nothing more can be done at the boundary.
    }
}

}  // namespace vexa::pkcs11
