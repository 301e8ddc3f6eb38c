#include "pkcs11/output_buffer.h"

#include <algorithm>
#include <cstdint>

#include "rpc/ulong_wire.h"

namespace vexa::pkcs11 {

CK_RV COutput::prepare(CDeviceCall& call, QueryCapacity query) {
    Request& request = call.request();
    if (query == QueryCapacity::CapacityOnly) {
        request.has_out_capacity = true;
        request.out_capacity =
            pOut_ == nullptr || pulOutLen_ == nullptr
                ? 0
                : static_cast<uint32_t>(std::min<CK_ULONG>(*pulOutLen_, UINT32_MAX - 1));
        output_ = pOut_ == nullptr ? rpc::ByteOutput{nullptr, SIZE_MAX}
                                   : rpc::ByteOutput{pOut_, *pulOutLen_};
        rpc::bindOutput(call.response().data, output_);
        return CKR_OK;
    }
    if (pOut_ == nullptr) {
        request.has_length_only = true;
        request.length_only = true;
    }
    if (pulOutLen_ != nullptr) {
        const CK_ULONG capacity =
            pOut_ == nullptr && query == QueryCapacity::Zero ? 0 : *pulOutLen_;
        if (!CDeviceCall::setUlong(request.out_capacity, request.has_out_capacity, capacity)) {
            return CKR_ARGUMENTS_BAD;
        }
    }
    if (pOut_ != nullptr) {
        output_ = rpc::ByteOutput{pOut_, pulOutLen_ != nullptr ? *pulOutLen_ : 0};
        rpc::bindOutput(call.response().data, output_);
    }
    return CKR_OK;
}

CK_RV COutput::report(CK_RV rv, const Response& response) const {
    // A reply that did not decode may hold any length: keep the caller's.
    if (pulOutLen_ == nullptr || rv == CKR_FUNCTION_FAILED) {
        return rv;
    }
    if (rv == CKR_OK && pOut_ != nullptr) {
        // What the buffer really holds, even if the device stated otherwise:
        // a length beyond the bytes placed would send the caller reading
        // past them, or past its buffer.
        *pulOutLen_ = output_.received;
    } else if (response.has_length) {
        *pulOutLen_ = rpc::lengthFromWire(response.length);
        // A device that judged the size query by its capacity alone still
        // told the length the caller asked for.
        if (pOut_ == nullptr && rv == CKR_BUFFER_TOO_SMALL) {
            return CKR_OK;
        }
    } else if (pOut_ == nullptr && output_.present &&
               (rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL)) {
        // Bytes counted for a size query that stated no length.
        *pulOutLen_ = output_.received;
        return CKR_OK;
    }
    return rv;
}

}  // namespace vexa::pkcs11
