#include "p11bench/module_loader.h"

#include <dlfcn.h>

#include <cstdio>

namespace vexa::p11bench {

void CModule::Closer::operator()(void* handle) const {
    dlclose(handle);
}

CModule::CModule(const std::string& path) {
    handle_.reset(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!handle_) {
        const char* text = dlerror();
        error_ = text != nullptr ? text : "dlopen failed";
        return;
    }
    auto getList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_.get(), "C_GetFunctionList"));
    if (getList == nullptr) {
        error_ = "no C_GetFunctionList in " + path;
        return;
    }
    const CK_RV rv = getList(&functions_);
    if (rv != CKR_OK || functions_ == nullptr) {
        functions_ = nullptr;
        error_ = "C_GetFunctionList: " + rvName(rv);
    }
}

CModule::~CModule() = default;

std::string rvName(CK_RV rv) {
    struct Name {
        CK_RV rv;
        const char* text;
    };
    static constexpr Name kNames[] = {
        {CKR_OK, "CKR_OK"},
        {CKR_HOST_MEMORY, "CKR_HOST_MEMORY"},
        {CKR_SLOT_ID_INVALID, "CKR_SLOT_ID_INVALID"},
        {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
        {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
        {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
        {CKR_ATTRIBUTE_TYPE_INVALID, "CKR_ATTRIBUTE_TYPE_INVALID"},
        {CKR_ATTRIBUTE_VALUE_INVALID, "CKR_ATTRIBUTE_VALUE_INVALID"},
        {CKR_DATA_LEN_RANGE, "CKR_DATA_LEN_RANGE"},
        {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
        {CKR_FUNCTION_NOT_SUPPORTED, "CKR_FUNCTION_NOT_SUPPORTED"},
        {CKR_KEY_HANDLE_INVALID, "CKR_KEY_HANDLE_INVALID"},
        {CKR_KEY_TYPE_INCONSISTENT, "CKR_KEY_TYPE_INCONSISTENT"},
        {CKR_MECHANISM_INVALID, "CKR_MECHANISM_INVALID"},
        {CKR_MECHANISM_PARAM_INVALID, "CKR_MECHANISM_PARAM_INVALID"},
        {CKR_OBJECT_HANDLE_INVALID, "CKR_OBJECT_HANDLE_INVALID"},
        {CKR_OPERATION_ACTIVE, "CKR_OPERATION_ACTIVE"},
        {CKR_OPERATION_NOT_INITIALIZED, "CKR_OPERATION_NOT_INITIALIZED"},
        {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
        {CKR_PIN_LOCKED, "CKR_PIN_LOCKED"},
        {CKR_SESSION_HANDLE_INVALID, "CKR_SESSION_HANDLE_INVALID"},
        {CKR_TEMPLATE_INCOMPLETE, "CKR_TEMPLATE_INCOMPLETE"},
        {CKR_TEMPLATE_INCONSISTENT, "CKR_TEMPLATE_INCONSISTENT"},
        {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
        {CKR_USER_NOT_LOGGED_IN, "CKR_USER_NOT_LOGGED_IN"},
        {CKR_BUFFER_TOO_SMALL, "CKR_BUFFER_TOO_SMALL"},
        {CKR_CRYPTOKI_NOT_INITIALIZED, "CKR_CRYPTOKI_NOT_INITIALIZED"},
    };
    for (const Name& n : kNames) {
        if (n.rv == rv) {
            return n.text;
        }
    }
    char text[32];
    std::snprintf(text, sizeof text, "CKR_0x%lX", rv);
    return text;
}

}  // namespace vexa::p11bench
