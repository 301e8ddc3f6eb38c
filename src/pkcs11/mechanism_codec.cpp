#include "pkcs11/mechanism_codec.h"

#include "pkcs11/parameter_blocks.h"
#include "rpc/ulong_wire.h"

namespace vexa::pkcs11 {
namespace {

// A CK_ULONG into an optional uint32 field: false when it cannot be carried.
bool putUlong(CK_ULONG value, uint32_t& field, bool* present = nullptr) {
    if (!rpc::ulongToWire(value, field)) {
        return false;
    }
    if (present != nullptr) {
        *present = true;
    }
    return true;
}

// Starts the Mechanism message: present, every field empty, the type.
CK_RV startMechanism(Request& request, const CK_MECHANISM& mechanism) {
    request.has_mechanism = true;
    request.mechanism = Mechanism_init_zero;
    return putUlong(mechanism.mechanism, request.mechanism.type) ? CKR_OK : CKR_ARGUMENTS_BAD;
}

// `parameter` = the parameter in the device's layout: a structured block
// converted, any other the ulParameterLen bytes at pParameter. With
// `withLength`, `parameter_length` = the number of bytes sent.
CK_RV bindParameter(Mechanism& out, const CK_MECHANISM& mechanism, MechanismScratch& scratch,
                    bool withLength) {
    switch (toDeviceLayout(mechanism, scratch.block)) {
        case BlockResult::Plain:
            scratch.parameter = rpc::ByteInput{mechanism.pParameter, mechanism.ulParameterLen};
            break;
        case BlockResult::Converted:
            scratch.parameter = rpc::ByteInput{scratch.block.data(), scratch.block.size()};
            break;
        case BlockResult::Refused:
            return CKR_MECHANISM_PARAM_INVALID;
    }
    if (withLength &&
        !putUlong(scratch.parameter.length, out.parameter_length, &out.has_parameter_length)) {
        return CKR_ARGUMENTS_BAD;
    }
    rpc::bindInput(out.parameter, scratch.parameter);
    return CKR_OK;
}

// The byte string a parameter block points at (OAEP source data, ECDH
// public data) travels from scratch.extra.
CK_RV bindExtra(pb_callback_t& field, MechanismScratch& scratch, const void* data,
                CK_ULONG length) {
    scratch.extra = rpc::ByteInput{data, length};
    rpc::bindInput(field, scratch.extra);
    return CKR_OK;
}

// The type and the parameter as bytes (bindParameter), for every
// mechanism without a structured encoding of its own.
CK_RV encodeWithParameter(Request& request, const CK_MECHANISM& mechanism,
                          MechanismScratch& scratch, bool withLength) {
    if (!parameterConsistent(mechanism)) {
        return CKR_ARGUMENTS_BAD;
    }
    if (CK_RV rv = startMechanism(request, mechanism); rv != CKR_OK) {
        return rv;
    }
    return bindParameter(request.mechanism, mechanism, scratch, withLength);
}

CK_RV encodeOaep(Mechanism& out, const CK_MECHANISM& mechanism, MechanismScratch& scratch) {
    CK_RSA_PKCS_OAEP_PARAMS params;
    if (!readBlock(mechanism, params)) {
        return CKR_ARGUMENTS_BAD;
    }
    out.has_oaep = true;
    OaepParams& oaep = out.oaep;
    if (!putUlong(params.hashAlg, oaep.hash_alg) || !putUlong(params.mgf, oaep.mgf) ||
        !putUlong(params.source, oaep.source, &oaep.has_source)) {
        return CKR_ARGUMENTS_BAD;
    }
    const bool hasPointer = params.pSourceData != nullptr;
    const bool hasLength = params.ulSourceDataLen != 0;
    if (!hasPointer && !hasLength) {
        return CKR_OK;
    }
    if (hasPointer != hasLength ||
        !putUlong(params.ulSourceDataLen, oaep.source_data_length, &oaep.has_source_data_length)) {
        return CKR_ARGUMENTS_BAD;
    }
    return bindExtra(oaep.source_data, scratch, params.pSourceData, params.ulSourceDataLen);
}

CK_RV encodeEcdh(Mechanism& out, const CK_MECHANISM& mechanism, MechanismScratch& scratch) {
    CK_ECDH1_DERIVE_PARAMS params;
    if (!readBlock(mechanism, params)) {
        return CKR_ARGUMENTS_BAD;
    }
    out.has_ecdh = true;
    if (!putUlong(params.kdf, out.ecdh.kdf)) {
        return CKR_ARGUMENTS_BAD;
    }
    // The shared data never leave the host, whatever the caller passes.
    if (params.pPublicData == nullptr) {
        return CKR_OK;
    }
    if (params.ulPublicDataLen == 0) {
        return CKR_ARGUMENTS_BAD;
    }
    return bindExtra(out.ecdh.public_data, scratch, params.pPublicData, params.ulPublicDataLen);
}

}  // namespace

void logMechanism(talvoranth::ILogTarget& log, const char* prefix, CK_MECHANISM_TYPE type) {
    log.log(talvoranth::LOG_DEBUG, "%sMechanism: 0x%08lx", prefix, type);
}

CK_RV encodeMechanism(talvoranth::ILogTarget& log, Request& request, const CK_MECHANISM& mechanism,
                      MechanismScratch& scratch) {
    if (!parameterConsistent(mechanism)) {
        return CKR_ARGUMENTS_BAD;
    }
    const CK_RV started = startMechanism(request, mechanism);
    logMechanism(log, "", mechanism.mechanism);
    if (started != CKR_OK) {
        return started;
    }
    switch (mechanism.mechanism) {
        case CKM_RSA_PKCS_OAEP:
            return encodeOaep(request.mechanism, mechanism, scratch);
        case CKM_ECDH1_DERIVE:
            return encodeEcdh(request.mechanism, mechanism, scratch);
        default:
            return encodeGenericMechanism(request, mechanism, scratch);
    }
}

CK_RV encodeGenericMechanism(Request& request, const CK_MECHANISM& mechanism,
                             MechanismScratch& scratch) {
    return encodeWithParameter(request, mechanism, scratch, true);
}

CK_RV encodeBareMechanism(Request& request, const CK_MECHANISM& mechanism,
                          MechanismScratch& scratch) {
    return encodeWithParameter(request, mechanism, scratch, false);
}

}  // namespace vexa::pkcs11
