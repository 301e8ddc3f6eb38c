// The one boundary between the C ABI and the module's C++: every exported
// C_ function is a single call into these guards. No exception crosses it:
// an allocation failure becomes CKR_HOST_MEMORY, anything else thrown
// CKR_FUNCTION_FAILED.
#pragma once

#include <p11-kit/pkcs11.h>

#include <exception>
#include <new>
#include <string>

#include "pkcs11/context.h"
#include "rpc/function_ids.h"
#include "platform/shared_library.h"

// Marks the functions that the module exports.
#define VEXA_PKCS11_EXPORT VEXA_SHARED_LIBRARY_EXPORT

namespace vexa::pkcs11 {

// Logs an exception that reached the boundary, if logging still works.
void logEscapedException(const char* what) noexcept;

// Runs op(context) on the process-wide context (created on first use).
template <class Operation>
CK_RV guarded(Operation&& op) noexcept {
    try {
        return op(CContext::instance());
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (const std::exception& e) {
        logEscapedException(e.what());
        return CKR_FUNCTION_FAILED;
    } catch (...) {
        logEscapedException("unknown exception");
        return CKR_FUNCTION_FAILED;
    }
}

// The TRACE text of the export that serves a device call, from the call
// table (null when it writes none). A compile-time constant: the hot path
// pays no lookup.
template <rpc::FunctionId Id>
inline constexpr const char* traceOf = rpc::traceName(Id);

// The common entry of every operation after the lifecycle functions: log the
// function's name at TRACE (when it has a TRACE line), answer
// CKR_CRYPTOKI_NOT_INITIALIZED before looking at any argument, then run op.
template <class Operation>
CK_RV operation(const char* traceName, Operation&& op) noexcept {
    return guarded([&](CContext& context) -> CK_RV {
        // The names are fixed, non-empty texts, so a dropped line is known
        // before any formatting: the usual run pays one load and compare.
        if (traceName != nullptr && context.threshold() <= talvoranth::LOG_TRACE) {
            context.log(talvoranth::LOG_TRACE, "%s", traceName);
        }
        if (!context.initialised()) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        return op(context);
    });
}

}  // namespace vexa::pkcs11
