// Builds the bytes a device sends back, field by field, in the protocol
// buffer wire format: the benchmarks answer with fixed replies without
// going through the encoder under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <p11-kit/pkcs11.h>

namespace vexa::bench {

using Bytes = std::vector<uint8_t>;

class ProtoWriter {
public:
    ProtoWriter& varint(uint32_t tag, uint64_t value);
    ProtoWriter& bytes(uint32_t tag, const uint8_t* data, size_t length);
    ProtoWriter& bytes(uint32_t tag, const Bytes& data) {
        return bytes(tag, data.data(), data.size());
    }
    // A nested message.
    ProtoWriter& message(uint32_t tag, const ProtoWriter& nested) {
        return bytes(tag, nested.out_);
    }
    const Bytes& out() const { return out_; }

private:
    void rawVarint(uint64_t value);
    Bytes out_;
};

// Replies of the device, as the module receives them.
namespace reply {
// rv only.
Bytes status(uint32_t rv);
// C_GetSessionInfo: a logged-in read-write session.
Bytes sessionInfo();
// rv 0, `data` of `length` bytes, and `length` when withLength.
Bytes data(size_t length, bool withLength);
// C_FindObjects: `count` handles of 4 bytes each.
Bytes handles(size_t count);
// The ten attribute types of a typical C_GetAttributeValue: integers,
// booleans and byte strings.
const std::vector<CK_ATTRIBUTE_TYPE>& attributeTypes();
// Its reply: every type of attributeTypes() with a value in its form.
Bytes attributes();
}  // namespace reply

}  // namespace vexa::bench
