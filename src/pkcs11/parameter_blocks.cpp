#include "pkcs11/parameter_blocks.h"

#include <cstring>

#include "rpc/ulong_wire.h"

namespace vexa::pkcs11 {
namespace {

// Writes the device's layout of one block; false when a value cannot be
// carried.
class CBlockWriter {
public:
    explicit CBlockWriter(std::vector<uint8_t>& out) : out_(out) { out_.clear(); }

    bool ulong(CK_ULONG value) {
        uint32_t wire = 0;
        if (!rpc::ulongToWire(value, wire)) {
            return false;
        }
        for (int shift = 0; shift < 32; shift += 8) {
            out_.push_back(static_cast<uint8_t>(wire >> shift));
        }
        return true;
    }
    void bytes(const void* data, size_t length) {
        const auto* p = static_cast<const uint8_t*>(data);
        out_.insert(out_.end(), p, p + length);
    }
    // The bytes a pointer field points at: a null pointer only with length 0.
    bool pointed(const void* data, CK_ULONG length) {
        if (data == nullptr) {
            return length == 0;
        }
        bytes(data, length);
        return true;
    }

private:
    std::vector<uint8_t>& out_;
};

bool pss(const CK_MECHANISM& m, CBlockWriter& w) {
    CK_RSA_PKCS_PSS_PARAMS p;
    return readBlock(m, p) && w.ulong(p.hashAlg) && w.ulong(p.mgf) && w.ulong(p.sLen);
}

bool oaep(const CK_MECHANISM& m, CBlockWriter& w) {
    CK_RSA_PKCS_OAEP_PARAMS p;
    return readBlock(m, p) && w.ulong(p.hashAlg) && w.ulong(p.mgf) && w.ulong(p.source) &&
           w.ulong(p.ulSourceDataLen) && w.pointed(p.pSourceData, p.ulSourceDataLen);
}

bool ctr(const CK_MECHANISM& m, CBlockWriter& w) {
    CK_AES_CTR_PARAMS p;
    if (!readBlock(m, p) || !w.ulong(p.ulCounterBits)) {
        return false;
    }
    w.bytes(p.cb, sizeof p.cb);
    return true;
}

bool gcm(const CK_MECHANISM& m, CBlockWriter& w) {
    CK_GCM_PARAMS p;
    return readBlock(m, p) && w.ulong(p.ulIvLen) && w.ulong(p.ulIvBits) && w.ulong(p.ulAADLen) &&
           w.ulong(p.ulTagBits) && w.pointed(p.pIv, p.ulIvLen) && w.pointed(p.pAAD, p.ulAADLen);
}

bool derivationString(const CK_MECHANISM& m, CBlockWriter& w) {
    CK_KEY_DERIVATION_STRING_DATA p;
    return readBlock(m, p) && w.ulong(p.ulLen) && w.pointed(p.pData, p.ulLen);
}

template <class Block>
bool cbcEncryptData(const CK_MECHANISM& m, CBlockWriter& w) {
    Block p;
    if (!readBlock(m, p)) {
        return false;
    }
    w.bytes(p.iv, sizeof p.iv);
    return w.ulong(p.length) && w.pointed(p.pData, p.length);
}

}  // namespace

BlockResult toDeviceLayout(const CK_MECHANISM& mechanism, std::vector<uint8_t>& out) {
    bool (*convert)(const CK_MECHANISM&, CBlockWriter&) = nullptr;
    switch (mechanism.mechanism) {
        case CKM_RSA_PKCS_PSS:
        case CKM_SHA1_RSA_PKCS_PSS:
        case CKM_SHA224_RSA_PKCS_PSS:
        case CKM_SHA256_RSA_PKCS_PSS:
        case CKM_SHA384_RSA_PKCS_PSS:
        case CKM_SHA512_RSA_PKCS_PSS:
            convert = &pss;
            break;
        case CKM_RSA_PKCS_OAEP:
            convert = &oaep;
            break;
        case CKM_AES_CTR:
            convert = &ctr;
            break;
        case CKM_AES_GCM:
            convert = &gcm;
            break;
        case CKM_DES_ECB_ENCRYPT_DATA:
        case CKM_DES3_ECB_ENCRYPT_DATA:
        case CKM_AES_ECB_ENCRYPT_DATA:
            convert = &derivationString;
            break;
        case CKM_DES_CBC_ENCRYPT_DATA:
        case CKM_DES3_CBC_ENCRYPT_DATA:
            convert = &cbcEncryptData<CK_DES_CBC_ENCRYPT_DATA_PARAMS>;
            break;
        case CKM_AES_CBC_ENCRYPT_DATA:
            convert = &cbcEncryptData<CK_AES_CBC_ENCRYPT_DATA_PARAMS>;
            break;
        default:
            return BlockResult::Plain;
    }
    // No parameter at all is the device's to judge (PSS hash-and-sign
    // mechanisms take their defaults, the others refuse).
    if (mechanism.pParameter == nullptr && mechanism.ulParameterLen == 0) {
        out.clear();
        return BlockResult::Converted;
    }
    CBlockWriter writer(out);
    return convert(mechanism, writer) ? BlockResult::Converted : BlockResult::Refused;
}

}  // namespace vexa::pkcs11
