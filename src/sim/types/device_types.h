// The firmware's own view of one remote call: the Request and Response of
// the schema decoded into C++ values, so that handlers never touch nanopb.
//
// Absent optional fields are empty optionals; byte strings are owned
// vectors whose size the decoder has already bounded by the message.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "vexa.pb.h"

namespace vexa::sim {

using Bytes = std::vector<uint8_t>;

// One attribute of a template or of a reply. It travels in exactly one
// form: an integer, a boolean, or a length with bytes. C_GetAttributeValue
// sends the types only (form TypeOnly).
struct DeviceAttribute {
    enum class Form : uint8_t { TypeOnly, Ulong, Bool, Bytes };

    uint32_t type = 0;
    Form form = Form::TypeOnly;
    uint32_t ulongValue = 0;
    bool boolValue = false;
    // Bytes form: the length as sent (ulValueLen; it may exceed bytes.size()
    // when the caller sent a null value) and the value bytes.
    uint32_t length = 0;
    Bytes bytes;

    static DeviceAttribute ofUlong(uint32_t type, uint32_t value);
    static DeviceAttribute ofBool(uint32_t type, bool value);
    static DeviceAttribute ofBytes(uint32_t type, Bytes value);
    // A reply entry that reports only a length (for example
    // CK_UNAVAILABLE_INFORMATION for a sensitive attribute).
    static DeviceAttribute ofLength(uint32_t type, uint32_t length);
};

struct OaepParameters {
    uint32_t hashAlg = 0;
    uint32_t mgf = 0;
    std::optional<uint32_t> source;
    std::optional<uint32_t> sourceDataLength;
    std::optional<Bytes> sourceData;
};

struct Ecdh1DeriveParameters {
    uint32_t kdf = 0;
    std::optional<Bytes> sharedData;
    std::optional<Bytes> publicData;
};

struct DeviceMechanism {
    uint32_t type = 0;
    std::optional<uint32_t> parameterLength;  // generic form only
    std::optional<Bytes> parameter;
    std::optional<OaepParameters> oaep;
    std::optional<Ecdh1DeriveParameters> ecdh;
};

struct DeviceRequest {
    uint32_t functionId = 0;
    std::optional<uint32_t> session;
    std::optional<DeviceMechanism> mechanism;
    std::optional<Bytes> data;
    std::vector<DeviceAttribute> templ;  // Request.template
    std::optional<uint32_t> object;
    std::optional<bool> lengthOnly;
    std::optional<uint32_t> value;
    std::vector<DeviceAttribute> templ2;
    std::optional<Bytes> data2;
    std::optional<uint32_t> outCapacity;
    std::optional<uint32_t> object2;
};

struct DeviceResponse {
    uint32_t rv = 0;
    std::optional<uint32_t> handle;
    std::optional<Bytes> data;
    std::optional<uint32_t> length;
    std::optional<uint32_t> handle2;
    std::vector<DeviceAttribute> attributes;
    std::optional<::SessionInfo> sessionInfo;
    std::optional<::TokenInfo> tokenInfo;
};

}  // namespace vexa::sim
