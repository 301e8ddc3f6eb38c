#include "transport/hid_transport.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "transport/exceptions.h"

namespace talvoranth {

namespace hf = hidframe;

namespace {

constexpr int kAllocationWaitMs = 250;
constexpr size_t kNonceSize = 8;
// The allocation answer: nonce, 4-byte channel, protocol version, three
// version bytes, capabilities.
constexpr uint16_t kAllocationAnswerLength = 17;
constexpr size_t kNewChannelOffset = kNonceSize;  // within the payload

IOException errorFrom(IHidDevice& device, const char* fallback) {
    std::optional<std::wstring> text = device.errorText();
    if (!text) {
        return IOException(fallback);
    }
    // Keep the low byte of each character, as every wide message is narrowed.
    std::string narrow;
    narrow.reserve(text->size());
    for (wchar_t c : *text) {
        narrow.push_back(static_cast<char>(static_cast<unsigned char>(c & 0xFF)));
    }
    return IOException(narrow);
}

}  // namespace

CHIDTransport::CHIDTransport(ILogTarget* log) : CHIDTransport(log, selectHidBackend()) {}

CHIDTransport::CHIDTransport(ILogTarget* log, std::shared_ptr<IHidBackend> backend)
    : log_(log), backend_(std::move(backend)) {}

CHIDTransport::~CHIDTransport() {
    close();
}

void CHIDTransport::setVendorProduct(uint16_t vendorId, uint16_t productId) {
    filter_.vendorId = vendorId;
    filter_.productId = productId;
}

void CHIDTransport::close() {
    device_.reset();
}

void CHIDTransport::open() {
    // 1. Release any previous device.
    close();
    // 2-4. Take the first enumerated device that matches the filters.
    const std::vector<HidDeviceInfo> records =
        backend_->enumerate(filter_.vendorId, filter_.productId);
    auto chosen = std::find_if(records.begin(), records.end(), [this](const HidDeviceInfo& r) {
        return matchesForOpen(r, filter_);
    });
    if (chosen == records.end() || chosen->path.empty()) {
        throw IOException("Device not detected");
    }
    // 5. Remember the product string of the device taken.
    if (chosen->product) {
        if (std::optional<std::string> product = toMultibyte(*chosen->product)) {
            filter_.product = std::move(*product);
        }
    }
    // 6-7. Open it.
    if (log_ != nullptr) {
        log_->log(LOG_DEBUG, "Opening device %s", chosen->path.c_str());
    }
    std::unique_ptr<IHidDevice> device = backend_->openPath(chosen->path);
    if (!device) {
        throw IOException("Unable to connect to device");
    }
    // 8. A device needs a moment after open before it answers reliably.
    vexa::platform::sleepMilliseconds(device->settleMilliseconds());
    // 9. Report lengths from the device; plain framing until a channel is
    // assigned. Bytes buffered from an earlier opening belong to it, not to
    // this one.
    device_ = std::move(device);
    writeReportLength_ = readReportLength_ = device_->outputReportLength();
    report_.assign(std::max(writeReportLength_, hf::kMinPlainReport), 0);
    channel_ = hf::kNoChannel;
    received_.clear();
    // 10. Whatever the allocation gives, the device is open.
    allocateChannel();
}

int CHIDTransport::allocateChannel() {
    // 1-2. The allocation request on the broadcast channel with a fresh nonce.
    std::array<uint8_t, kNonceSize> nonce{};
    for (uint8_t& b : nonce) {
        b = static_cast<uint8_t>(std::rand() >> 3);
    }
    hf::buildInitPacket(outPacket_.data() + 1, hf::kNoChannel, hf::kCmdInit, kNonceSize,
                        nonce.data(), nonce.size());
    try {
        sendPacket();
    } catch (const std::exception&) {
        return kNoDevice;
    }
    // 3. Wait for the answer that echoes the nonce; ignore anything else.
    for (;;) {
        const int rc = receivePacket(kAllocationWaitMs);
        if (rc != 0) {
            return rc;
        }
        const uint8_t* p = inPacket_.data();
        if (hf::packetChannel(p) != hf::kNoChannel || hf::packetCommand(p) != hf::kCmdInit ||
            hf::packetPayloadLength(p) != kAllocationAnswerLength ||
            std::memcmp(hf::initPayload(p), nonce.data(), nonce.size()) != 0) {
            continue;
        }
        // 4. The new channel follows the nonce.
        channel_ = hf::packetChannel(hf::initPayload(p) + kNewChannelOffset);
        if (log_ != nullptr) {
            log_->log(LOG_DEBUG, "u2f transport detected");
        }
        return 0;
    }
}

// Sends outPacket_ (report id byte 0, then the packet) as one report.
void CHIDTransport::sendPacket() {
    if (!device_) {
        throw IOException("Null handle");
    }
    outPacket_[0] = 0x00;
    if (device_->write(outPacket_.data(), outPacket_.size()) !=
        static_cast<int>(outPacket_.size())) {
        throw errorFrom(*device_, "null");
    }
}

// Reads one packet into inPacket_: 0, kTimedOut (short or no read) or
// kNoDevice (no handle, read error).
int CHIDTransport::receivePacket(int waitMs) {
    if (!device_) {
        return kNoDevice;
    }
    inPacket_.fill(hf::kFiller);
    const int n = device_->readTimeout(inPacket_.data(), inPacket_.size(), waitMs);
    if (n == static_cast<int>(inPacket_.size())) {
        return 0;
    }
    if (log_ != nullptr) {
        log_->log(LOG_INFO, "hid transport received timeout");
    }
    return n < 0 ? kNoDevice : kTimedOut;
}

int CHIDTransport::write(const unsigned char* data, int length) {
    if (!device_) {
        throw IOException("Null handle");
    }
    if (length < 0 || (data == nullptr && length > 0)) {
        throw IOException("Invalid message for HID transport");
    }
    const auto n = static_cast<size_t>(length);
    if (channelFraming()) {
        writeChannel(data, n);
    } else {
        writePlain(data, n);
    }
    return length;
}

void CHIDTransport::writeChannel(const uint8_t* data, size_t length) {
    // Longer messages would run the sequence number into the command bit
    // and reach the device garbled; refuse them before anything is sent.
    if (length > hf::kMaxChannelMessage) {
        throw IOException("Message too long for HID transport");
    }
    uint8_t* packet = outPacket_.data() + 1;
    size_t sent = hf::buildInitPacket(packet, channel_, hf::kCmdMessage,
                                      static_cast<uint16_t>(length), data, length);
    sendPacket();
    for (uint8_t seq = 0; sent < length; ++seq) {
        sent += hf::buildContPacket(packet, channel_, seq, data + sent, length - sent);
        sendPacket();
    }
}

void CHIDTransport::writePlain(const uint8_t* data, size_t length) {
    if (length > hf::kMaxPlainMessage) {
        throw IOException("Message too long for HID transport");
    }
    // A first report must carry at least one payload byte, or the loop
    // below would never finish.
    if (length > 0 && writeReportLength_ < hf::kMinPlainReport) {
        throw IOException("HID report too short for plain framing");
    }
    size_t sent = 0;
    while (sent < length) {
        sent += hf::buildPlainReport(report_.data(), writeReportLength_, data, length, sent);
        if (device_->write(report_.data(), writeReportLength_) !=
            static_cast<int>(writeReportLength_)) {
            throw errorFrom(*device_, "HID write failed.");
        }
    }
}

int CHIDTransport::read(unsigned char* buffer, int capacity) {
    if (capacity <= 0) {
        return 0;
    }
    if (buffer == nullptr) {
        throw IOException("Invalid buffer for HID transport");
    }
    const auto wanted = static_cast<size_t>(capacity);
    // 1. Enough buffered: the device is not touched.
    if (received_.size() < wanted) {
        // 2. Fetch one response into the receive buffer.
        if (channelFraming()) {
            fetchChannel(wanted);
        } else {
            fetchPlain();
        }
    }
    return static_cast<int>(received_.take(buffer, wanted));
}

void CHIDTransport::fetchPlain() {
    if (!device_) {
        // As in channel framing: nothing to read from, nothing appended.
        if (log_ != nullptr) {
            log_->log(LOG_INFO, "hid transport received error %d", kNoDevice);
        }
        return;
    }
    const size_t start = received_.size();
    const size_t length = readReportLength_;
    bool first = false;
    size_t total = 0;
    size_t got = 0;
    try {
        do {
            // Zeros stand in for what a short report leaves out.
            std::fill(report_.begin(), report_.end(), 0);
            const int n = device_->readTimeout(report_.data(), length, timeoutMs_);
            if (n < 0) {
                throw errorFrom(*device_, "null");
            }
            if (n == 0) {
                break;  // time-out: what arrived so far stays
            }
            const auto size = std::min(static_cast<size_t>(n), length);
            const uint8_t packetId = report_[1];
            if (packetId == hf::kPlainFirst) {
                // A new first report starts the message over.
                received_.truncate(start);
                first = true;
                total = hf::plainTotalLength(report_.data());
                const size_t room = size > hf::kPlainFirstHeader ? size - hf::kPlainFirstHeader : 0;
                got = std::min(room, total);
                received_.append(report_.data() + hf::kPlainFirstHeader, got);
            } else if (packetId == hf::kPlainContinuation) {
                if (!first) {
                    throw IOException("Invalid HID packet received (out of order)");
                }
                const size_t room = size > hf::kPlainContHeader ? size - hf::kPlainContHeader : 0;
                const size_t take = std::min(room, total - got);
                received_.append(report_.data() + hf::kPlainContHeader, take);
                got += take;
            } else {
                throw IOException("Invalid HID packet id received");
            }
        } while (got < total);
    } catch (...) {
        // A broken response must not be handed out as the start of the next.
        received_.truncate(start);
        throw;
    }
}

void CHIDTransport::fetchChannel(size_t capacity) {
    const int result = fetchChannelMessage(capacity);
    if (result > 0) {
        received_.append(staging_.data(), static_cast<size_t>(result));
    } else if (result != kTimedOut && log_ != nullptr) {
        log_->log(LOG_INFO, "hid transport received error %d", result);
    }
}

// Reads one response of at most capacity bytes into staging_. Returns its
// length, or 0, kTimedOut, kSequenceError, kNoDevice, or the negated error
// code of an error packet.
int CHIDTransport::fetchChannelMessage(size_t capacity) {
    // 1. Skip to the next initialization packet on our channel.
    for (;;) {
        const int rc = receivePacket(timeoutMs_);
        if (rc != 0) {
            return rc;
        }
        if (hf::packetChannel(inPacket_.data()) == channel_ && hf::isInitPacket(inPacket_.data())) {
            break;
        }
    }
    // 2. An error packet carries its code in the first payload byte.
    if (hf::packetCommand(inPacket_.data()) == hf::kCmdError) {
        return -static_cast<int>(hf::initPayload(inPacket_.data())[0]);
    }
    // 3. Take the message up to capacity; continuation packets beyond it
    // stay unread and the next fetch skips them.
    const size_t n =
        std::min(capacity, static_cast<size_t>(hf::packetPayloadLength(inPacket_.data())));
    size_t taken = std::min(n, hf::kInitPayload);
    std::memcpy(staging_.data(), hf::initPayload(inPacket_.data()), taken);
    uint8_t seq = 0;
    while (taken < n) {
        const int rc = receivePacket(timeoutMs_);
        if (rc != 0) {
            return rc;
        }
        if (hf::packetChannel(inPacket_.data()) != channel_) {
            continue;  // another channel's packet
        }
        // Sequence numbers stop at 127, so staging_ cannot overflow: the
        // packet after sequence 127 is always a sequence error.
        if (hf::isInitPacket(inPacket_.data()) || inPacket_[4] != seq) {
            return kSequenceError;
        }
        const size_t chunk = std::min(n - taken, hf::kContPayload);
        std::memcpy(staging_.data() + taken, hf::contPayload(inPacket_.data()), chunk);
        taken += chunk;
        ++seq;
    }
    return static_cast<int>(n);
}

}  // namespace talvoranth
