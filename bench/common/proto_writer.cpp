#include "common/proto_writer.h"

#include <p11-kit/pkcs11.h>

namespace vexa::bench {
namespace {

constexpr uint32_t kVarint = 0;
constexpr uint32_t kLengthDelimited = 2;

// Response fields.
constexpr uint32_t kRv = 1;
constexpr uint32_t kData = 3;
constexpr uint32_t kLength = 4;
constexpr uint32_t kAttributes = 6;
constexpr uint32_t kSessionInfo = 7;

}  // namespace

void ProtoWriter::rawVarint(uint64_t value) {
    while (value >= 0x80) {
        out_.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out_.push_back(static_cast<uint8_t>(value));
}

ProtoWriter& ProtoWriter::varint(uint32_t tag, uint64_t value) {
    rawVarint(tag << 3 | kVarint);
    rawVarint(value);
    return *this;
}

ProtoWriter& ProtoWriter::bytes(uint32_t tag, const uint8_t* data, size_t length) {
    rawVarint(tag << 3 | kLengthDelimited);
    rawVarint(length);
    out_.insert(out_.end(), data, data + length);
    return *this;
}

namespace reply {

Bytes status(uint32_t rv) {
    return ProtoWriter().varint(kRv, rv).out();
}

Bytes sessionInfo() {
    ProtoWriter info;
    info.varint(1, CKS_RW_USER_FUNCTIONS)
        .varint(2, CKF_SERIAL_SESSION | CKF_RW_SESSION)
        .varint(3, 0);
    return ProtoWriter().varint(kRv, CKR_OK).message(kSessionInfo, info).out();
}

Bytes data(size_t length, bool withLength) {
    ProtoWriter w;
    w.varint(kRv, CKR_OK).bytes(kData, Bytes(length, 0x5A));
    if (withLength) {
        w.varint(kLength, length);
    }
    return w.out();
}

Bytes handles(size_t count) {
    Bytes raw;
    for (uint32_t h = 1; h <= count; ++h) {
        for (int shift = 0; shift < 32; shift += 8) {
            raw.push_back(static_cast<uint8_t>((h + 0x1000) >> shift));
        }
    }
    return ProtoWriter().varint(kRv, CKR_OK).bytes(kData, raw).out();
}

const std::vector<CK_ATTRIBUTE_TYPE>& attributeTypes() {
    static const std::vector<CK_ATTRIBUTE_TYPE> types = {
        CKA_CLASS, CKA_KEY_TYPE, CKA_TOKEN,   CKA_PRIVATE,      CKA_SIGN,
        CKA_LABEL, CKA_ID,       CKA_DECRYPT, CKA_MODULUS_BITS, CKA_EXTRACTABLE};
    return types;
}

Bytes attributes() {
    ProtoWriter w;
    w.varint(kRv, CKR_OK);
    for (CK_ATTRIBUTE_TYPE type : attributeTypes()) {
        ProtoWriter a;
        a.varint(1, type);
        switch (type) {
            case CKA_CLASS:
            case CKA_KEY_TYPE:
            case CKA_MODULUS_BITS:
                a.varint(4, 2048);  // integer form
                break;
            case CKA_LABEL:
            case CKA_ID:
                a.varint(2, 16).bytes(3, Bytes(16, 'k'));  // byte form
                break;
            default:
                a.varint(5, 1);  // boolean form
                break;
        }
        w.message(kAttributes, a);
    }
    return w.out();
}

}  // namespace reply
}  // namespace vexa::bench
