// Conversion between the schema's encoded messages and the firmware's C++
// values, in both directions (the device decodes requests and encodes
// responses; tests and tools do the reverse).
//
// Decoding never trusts a length from the wire: every byte string is
// bounded by the remaining input, templates by kMaxTemplateAttributes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "sim/types/device_types.h"

namespace vexa::sim {

// Attributes accepted in one template, and returned in one reply.
constexpr size_t kMaxTemplateAttributes = 64;

// nullopt when the bytes are not a valid Request; `error` (if given) then
// holds the decoder's text.
std::optional<DeviceRequest> decodeRequest(const uint8_t* data, size_t length,
                                           std::string* error = nullptr);
std::optional<DeviceResponse> decodeResponse(const uint8_t* data, size_t length,
                                             std::string* error = nullptr);

// False when the message cannot be encoded (too large for `limit` bytes).
bool encodeRequest(const DeviceRequest& request, Bytes& out, size_t limit = 65536);
bool encodeResponse(const DeviceResponse& response, Bytes& out, size_t limit = 65536);

}  // namespace vexa::sim
