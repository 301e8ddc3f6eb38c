// A PKCS#11 module loaded with dlopen: its function list, the library
// unloaded when the loader goes.
#pragma once

#include <p11-kit/pkcs11.h>

#include <memory>
#include <string>

namespace vexa::p11bench {

class CModule {
public:
    // Loads the library at path and asks it for its function list. On
    // failure functions() is null and error() says why.
    explicit CModule(const std::string& path);
    ~CModule();
    CModule(const CModule&) = delete;
    CModule& operator=(const CModule&) = delete;

    CK_FUNCTION_LIST_PTR functions() const { return functions_; }
    const std::string& error() const { return error_; }

private:
    struct Closer {
        void operator()(void* handle) const;
    };
    std::unique_ptr<void, Closer> handle_;
    CK_FUNCTION_LIST_PTR functions_ = nullptr;
    std::string error_;
};

// "CKR_OK", "CKR_FUNCTION_NOT_SUPPORTED", ...; "CKR_0x..." for codes
// without a name here.
std::string rvName(CK_RV rv);

}  // namespace vexa::p11bench
