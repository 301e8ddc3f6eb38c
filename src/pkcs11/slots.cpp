#include "pkcs11/slots.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "pkcs11/device_call.h"
#include "pkcs11/mechanisms.h"
#include "pkcs11/output_buffer.h"
#include "rpc/ulong_wire.h"

namespace vexa::pkcs11 {

using talvoranth::LOG_ERROR;
using talvoranth::LOG_TRACE;
using talvoranth::LOG_WARN;

namespace {

// The size of a PKCS#11 label, which C_InitToken always sends whole.
constexpr size_t kLabelSize = 32;

// "Vexa USB", "Dorvik USB" or "Unknown" for a USB device by its product
// string; "Vexa" for a device behind a daemon.
const char* slotDescription(const CContext& context, talvoranth::CTransport& transport) {
    if (transport.name() != "HID") {
        return "Vexa";
    }
    const std::string product = context.hooks().productOf(transport);
    if (product == "Vexa") {
        return "Vexa USB";
    }
    if (product == "Dorvik") {
        return "Dorvik USB";
    }
    return "Unknown";
}

bool isDorvikDevice(CContext& context, int32_t slot) {
    return context.slots().withTransport(slot, [&](talvoranth::CTransport* transport) {
        return transport != nullptr && transport->name() == "HID" &&
               context.hooks().productOf(*transport) == "Dorvik";
    });
}

// A byte field of the reply at the start of a blank-padded text field.
template <size_t N, class Bytes>
void copyText(unsigned char (&field)[N], const Bytes& bytes) {
    std::memset(field, ' ', N);
    std::memcpy(field, bytes.bytes, std::min<size_t>(bytes.size, N));
}

void copyTokenInfo(const TokenInfo& from, CK_TOKEN_INFO& to) {
    copyText(to.label, from.label);
    copyText(to.manufacturerID, from.manufacturer_id);
    copyText(to.model, from.model);
    copyText(to.serialNumber, from.serial_number);
    copyText(to.utcTime, from.utc_time);
    to.flags = rpc::ulongFromWire(from.flags);
    to.ulMaxSessionCount = rpc::lengthFromWire(from.max_session_count);
    to.ulSessionCount = rpc::lengthFromWire(from.session_count);
    to.ulMaxRwSessionCount = rpc::lengthFromWire(from.max_rw_session_count);
    to.ulRwSessionCount = rpc::lengthFromWire(from.rw_session_count);
    to.ulMaxPinLen = rpc::lengthFromWire(from.max_pin_len);
    to.ulMinPinLen = rpc::lengthFromWire(from.min_pin_len);
    to.ulTotalPublicMemory = rpc::lengthFromWire(from.total_public_memory);
    to.ulFreePublicMemory = rpc::lengthFromWire(from.free_public_memory);
    to.ulTotalPrivateMemory = rpc::lengthFromWire(from.total_private_memory);
    to.ulFreePrivateMemory = rpc::lengthFromWire(from.free_private_memory);
    to.hardwareVersion = CK_VERSION{static_cast<CK_BYTE>(from.hardware_version_major),
                                    static_cast<CK_BYTE>(from.hardware_version_minor)};
    to.firmwareVersion = CK_VERSION{static_cast<CK_BYTE>(from.firmware_version_major),
                                    static_cast<CK_BYTE>(from.firmware_version_minor)};
}

// The token functions first ask C_GetSlotInfo (with its own TRACE line)
// whether the slot holds a token: its error, or `absent` when it holds none.
CK_RV requireToken(CContext& context, CK_SLOT_ID slotID, CK_RV absent) {
    context.log(LOG_TRACE, "C_GetSlotInfo");
    CK_SLOT_INFO slotInfo{};
    if (CK_RV rv = getSlotInfo(context, slotID, &slotInfo); rv != CKR_OK) {
        return rv;
    }
    return (slotInfo.flags & CKF_TOKEN_PRESENT) == 0 ? absent : CKR_OK;
}

}  // namespace

CK_RV getSlotList(CContext& context, CK_BBOOL /*tokenPresent*/, CK_SLOT_ID_PTR pSlotList,
                  CK_ULONG_PTR pulCount) {
    if (pulCount == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    // Every slot is listed: each one is a device that was found.
    const CK_ULONG count = context.slots().size();
    return writeList(pSlotList, pulCount, count, [count](CK_SLOT_ID_PTR out) {
        for (CK_ULONG slot = 0; slot < count; ++slot) {
            out[slot] = slot;
        }
    });
}

CK_RV getSlotInfo(CContext& context, CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    if (pInfo == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    const std::optional<int32_t> slot = context.slots().find(slotID);
    if (!slot) {
        return CKR_SLOT_ID_INVALID;
    }
    // Defined contents also for a device that cannot be reached: blank
    // texts and no token.
    pInfo->flags = 0;
    copyPadded(pInfo->slotDescription, "");
    copyPadded(pInfo->manufacturerID, "USB");
    pInfo->hardwareVersion = CK_VERSION{2, 0};
    pInfo->firmwareVersion = CK_VERSION{0, 0};

    // Opening the transport is how the device is found to be there. It runs
    // under the exchange lock so that it never overlaps another thread's
    // exchange on the same transport.
    context.slots().withTransport(*slot, [&](talvoranth::CTransport* transport) {
        if (transport == nullptr) {
            context.log(LOG_ERROR, "Port not found");
            return;
        }
        try {
            if (!transport->isOpen()) {
                transport->open();
            }
            pInfo->flags = CKF_TOKEN_PRESENT;
            copyPadded(pInfo->slotDescription, slotDescription(context, *transport));
        } catch (const std::exception& e) {
            context.log(LOG_ERROR, std::string(e.what()));
        }
    });
    return CKR_OK;
}

CK_RV getTokenInfo(CContext& context, CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    if (pInfo == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    pInfo->flags = 0;
    if (CK_RV rv = requireToken(context, slotID, CKR_TOKEN_NOT_PRESENT); rv != CKR_OK) {
        return rv;
    }
    CDeviceCall call(rpc::FunctionId::GetTokenInfo);
    const CK_RV rv = call.sendToSlot(context, slotID);
    if (call.response().has_token_info) {
        copyTokenInfo(call.response().token_info, *pInfo);
    }
    return rv;
}

CK_RV getMechanismList(CContext& context, CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                       CK_ULONG_PTR pulCount) {
    if (!context.slots().find(slotID)) {
        return CKR_SLOT_ID_INVALID;
    }
    if (pulCount == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    size_t count = 0;
    const CK_MECHANISM_TYPE* list = mechanismList(count);
    return writeList(pMechanismList, pulCount, count,
                     [&](CK_MECHANISM_TYPE_PTR out) { std::copy(list, list + count, out); });
}

CK_RV getMechanismInfo(CContext& context, CK_SLOT_ID slotID, CK_MECHANISM_TYPE type,
                       CK_MECHANISM_INFO_PTR pInfo) {
    if (pInfo == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    const std::optional<int32_t> slot = context.slots().find(slotID);
    if (!slot) {
        return CKR_SLOT_ID_INVALID;
    }
    const std::optional<CK_MECHANISM_INFO> info =
        mechanismInfo(type, type == CKM_RSA_PKCS_KEY_PAIR_GEN && isDorvikDevice(context, *slot));
    if (!info) {
        context.log(LOG_WARN, "Mechanism not supported: 0x%08lx", type);
        return CKR_MECHANISM_INVALID;
    }
    *pInfo = *info;
    return CKR_OK;
}

CK_RV initToken(CContext& context, CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen,
                CK_UTF8CHAR_PTR pLabel) {
    if (!context.slots().find(slotID)) {
        return CKR_SLOT_ID_INVALID;
    }
    if (pPin == nullptr || pLabel == nullptr || ulPinLen == 0) {
        return CKR_ARGUMENTS_BAD;
    }
    if (CK_RV rv = requireToken(context, slotID, CKR_ARGUMENTS_BAD); rv != CKR_OK) {
        return rv;
    }
    CDeviceCall call(rpc::FunctionId::InitToken);
    call.setData(pPin, ulPinLen);
    call.setData2(pLabel, kLabelSize);
    return call.sendToSlot(context, slotID);
}

}  // namespace vexa::pkcs11
