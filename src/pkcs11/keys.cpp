// Key management: generation of keys and key pairs, wrapping, unwrapping
// and derivation on the device. The module checks the arguments, sends the
// mechanism, templates and key material in one request and hands back the
// handles or bytes.
#include <algorithm>
#include <cstdint>

#include "pkcs11/crypto_calls.h"
#include "pkcs11/keys.h"
#include "pkcs11/mechanism_codec.h"
#include "pkcs11/template_codec.h"
#include "rpc/ulong_wire.h"

namespace vexa::pkcs11 {
namespace {

using talvoranth::LOG_DEBUG;

bool setHandle(uint32_t& field, bool& present, CK_OBJECT_HANDLE handle) {
    return CDeviceCall::setUlong(field, present, handle);
}

// A new key handle, when the reply carries one.
void takeHandle(bool present, uint32_t handle, CK_OBJECT_HANDLE_PTR out) {
    if (present) {
        *out = rpc::ulongFromWire(handle);
    }
}

// Binds a template when the caller gave one (a null template sends none).
void putTemplate(pb_callback_t& field, TemplateRef& ref) {
    if (ref.attributes != nullptr) {
        bindTemplate(field, ref);
    }
}

}  // namespace

CK_RV generateKey(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                  CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey) {
    if (pMechanism == nullptr || pTemplate == nullptr || phKey == nullptr ||
        !parameterConsistent(*pMechanism)) {
        return CKR_ARGUMENTS_BAD;
    }
    TemplateRef ref{pTemplate, ulCount};
    if (CK_RV rv = checkTemplate(ref); rv != CKR_OK) {
        return rv;
    }
    CDeviceCall call(rpc::FunctionId::GenerateKey);
    MechanismScratch scratch;
    if (CK_RV rv = encodeBareMechanism(call.request(), *pMechanism, scratch); rv != CKR_OK) {
        return rv;
    }
    bindTemplate(call.request().template_, ref);
    // Domain parameters are the slowest thing a device makes (a prime search
    // of seconds to minutes): they get the key-generation time limit, as key
    // pairs do. Secret keys come at once and keep the normal time-out.
    const CK_MECHANISM_TYPE type = pMechanism->mechanism;
    const CK_RV rv = type == CKM_DSA_PARAMETER_GEN || type == CKM_DH_PKCS_PARAMETER_GEN
                         ? call.sendToSessionForKeyGeneration(context, hSession)
                         : call.sendToSession(context, hSession);
    takeHandle(call.response().has_handle, call.response().handle, phKey);
    return rv;
}

CK_RV generateKeyPair(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                      CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                      CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                      CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
    if (pMechanism == nullptr || phPublicKey == nullptr || phPrivateKey == nullptr ||
        pPublicKeyTemplate == nullptr || pPrivateKeyTemplate == nullptr ||
        !parameterConsistent(*pMechanism)) {
        return CKR_ARGUMENTS_BAD;
    }
    TemplateRef publicRef{pPublicKeyTemplate, ulPublicKeyAttributeCount};
    TemplateRef privateRef{pPrivateKeyTemplate, ulPrivateKeyAttributeCount};
    for (const TemplateRef& ref : {publicRef, privateRef}) {
        if (CK_RV rv = checkTemplate(ref); rv != CKR_OK) {
            return rv;
        }
    }
    CDeviceCall call(rpc::FunctionId::GenerateKeyPair);
    Request& request = call.request();
    int32_t slot = -1;
    if (CK_RV rv = context.bindSession(request, hSession, slot); rv != CKR_OK) {
        return rv;
    }
    MechanismScratch scratch;
    if (CK_RV rv = encodeBareMechanism(request, *pMechanism, scratch); rv != CKR_OK) {
        return rv;
    }
    bindTemplate(request.template_, publicRef);
    bindTemplate(request.template2, privateRef);
    // Key-pair generation may take far longer than any other call: the
    // exchange runs under the key-generation time limit, and the transport's
    // own time-out is back in force when it returns, whatever happened.
    const CK_RV rv =
        context.callFunctionForKeyGeneration(slot, request, call.response(), /*clear=*/true);
    const Response& response = call.response();
    takeHandle(response.has_handle, response.handle, phPublicKey);
    takeHandle(response.has_handle2, response.handle2, phPrivateKey);
    return rv;
}

CK_RV deriveKey(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                CK_OBJECT_HANDLE hBaseKey, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount,
                CK_OBJECT_HANDLE_PTR phKey) {
    if (pMechanism == nullptr || hBaseKey == 0 || (pTemplate == nullptr && ulAttributeCount != 0) ||
        phKey == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    TemplateRef ref{pTemplate, ulAttributeCount};
    if (CK_RV rv = checkTemplate(ref); rv != CKR_OK) {
        return rv;
    }
    CDeviceCall call(rpc::FunctionId::DeriveKey);
    Request& request = call.request();
    MechanismScratch scratch;
    const CK_RV rv = sendRouted(context, call, hSession, [&] {
        if (!setHandle(request.object, request.has_object, hBaseKey)) {
            return CKR_ARGUMENTS_BAD;
        }
        putTemplate(request.template_, ref);
        return encodeMechanism(context, request, *pMechanism, scratch);
    });
    takeHandle(call.response().has_handle, call.response().handle, phKey);
    return rv;
}

CK_RV wrapKey(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
              CK_OBJECT_HANDLE hWrappingKey, CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey,
              CK_ULONG_PTR pulWrappedKeyLen) {
    if (pMechanism == nullptr || pulWrappedKeyLen == nullptr || !parameterConsistent(*pMechanism)) {
        return CKR_ARGUMENTS_BAD;
    }
    if (pWrappedKey != nullptr && *pulWrappedKeyLen == 0) {
        return CKR_BUFFER_TOO_SMALL;
    }
    CDeviceCall call(rpc::FunctionId::WrapKey);
    Request& request = call.request();
    MechanismScratch scratch;
    // The request carries out_capacity only. A size query (null buffer)
    // states a capacity of 0, so that any device answers with the length
    // alone (CKR_BUFFER_TOO_SMALL) and no wrapped key travels; bytes that a
    // device sends anyway are counted, not stored.
    rpc::ByteOutput output{nullptr, SIZE_MAX};
    if (pWrappedKey != nullptr) {
        output = rpc::ByteOutput{pWrappedKey, *pulWrappedKeyLen};
    }
    rpc::bindOutput(call.response().data, output);
    const CK_RV rv = sendRouted(context, call, hSession, [&] {
        logMechanism(context, "Wrap ", pMechanism->mechanism);
        if (!setHandle(request.object, request.has_object, hKey) ||
            !setHandle(request.object2, request.has_object2, hWrappingKey)) {
            return CKR_ARGUMENTS_BAD;
        }
        request.has_out_capacity = true;
        request.out_capacity =
            pWrappedKey == nullptr
                ? 0
                : static_cast<uint32_t>(std::min<CK_ULONG>(*pulWrappedKeyLen, UINT32_MAX - 1));
        return encodeGenericMechanism(request, *pMechanism, scratch);
    });
    const Response& response = call.response();
    if (rv == CKR_OK && pWrappedKey != nullptr) {
        // Exactly the bytes placed into the caller's buffer: a larger length
        // in the reply would send the caller reading past them.
        *pulWrappedKeyLen = output.received;
        return rv;
    }
    // A reply that did not decode may hold any length: keep the caller's.
    if (rv == CKR_FUNCTION_FAILED) {
        return rv;
    }
    if (pWrappedKey == nullptr && (rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL)) {
        // The size query's answer: the stated length, else the bytes sent.
        if (response.has_length) {
            *pulWrappedKeyLen = rpc::lengthFromWire(response.length);
            return CKR_OK;
        }
        if (output.present) {
            *pulWrappedKeyLen = output.received;
            return CKR_OK;
        }
        return rv;
    }
    if (response.has_length) {
        *pulWrappedKeyLen = rpc::lengthFromWire(response.length);
    }
    return rv;
}

CK_RV unwrapKey(CContext& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                CK_OBJECT_HANDLE hUnwrappingKey, CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen,
                CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    if (pMechanism == nullptr || pWrappedKey == nullptr) {
        context.log(LOG_DEBUG, "C_UnwrapKey invalid params - null mech or wrapped key");
        return CKR_ARGUMENTS_BAD;
    }
    // CKM_RSA_PKCS has no parameter, and a null parameter has no length.
    // The caller's CK_MECHANISM is an input and stays as it is.
    CK_MECHANISM mechanism = *pMechanism;
    if (mechanism.mechanism == CKM_RSA_PKCS) {
        mechanism.pParameter = nullptr;
        mechanism.ulParameterLen = 0;
    } else if (mechanism.pParameter == nullptr) {
        mechanism.ulParameterLen = 0;
    }
    if (pTemplate == nullptr && ulAttributeCount != 0) {
        context.log(LOG_DEBUG, "C_UnwrapKey invalid params - null template and non-null ulCount.");
        return CKR_ARGUMENTS_BAD;
    }
    if (phKey == nullptr) {
        context.log(LOG_DEBUG, "C_UnwrapKey invalid params - hKey is NULL.");
        return CKR_ARGUMENTS_BAD;
    }
    TemplateRef ref{pTemplate, ulAttributeCount};
    if (CK_RV rv = checkTemplate(ref); rv != CKR_OK) {
        return rv;
    }
    CDeviceCall call(rpc::FunctionId::UnwrapKey);
    Request& request = call.request();
    MechanismScratch scratch;
    const CK_RV rv = sendRouted(context, call, hSession, [&] {
        logMechanism(context, "Unwrap ", mechanism.mechanism);
        if (!setHandle(request.object, request.has_object, hUnwrappingKey)) {
            return CKR_ARGUMENTS_BAD;
        }
        call.setData(pWrappedKey, ulWrappedKeyLen);
        putTemplate(request.template_, ref);
        return encodeGenericMechanism(request, mechanism, scratch);
    });
    takeHandle(call.response().has_handle, call.response().handle, phKey);
    if (rv != CKR_OK) {
        context.log(LOG_DEBUG, "C_UnwrapKey rv = 0x%lx", rv);
    }
    return rv;
}

}  // namespace vexa::pkcs11
