#include "transport/hid_transport.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/device_lock.h"
#include "platform/platform.h"
#include "transport/exceptions.h"

namespace talvoranth {

namespace hf = hidframe;
namespace u2fhid = vexa::u2fhid;

namespace {

constexpr int kAllocationWaitMs = 250;
constexpr size_t kNonceSize = 8;
// The allocation answer: nonce, 4-byte channel, protocol version, three
// version bytes, capabilities.
constexpr uint16_t kAllocationAnswerLength = 17;
constexpr size_t kNewChannelOffset = kNonceSize;  // within the payload
// Reports waiting before a request are discarded; a device that keeps
// sending more than this is broken.
constexpr int kMaxDiscardedReports = 4096;

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
    // Closing the lock file releases presence and any exchange held.
    lock_.reset();
    answerOverdue_ = false;
    lateAnswer_ = PlainProgress{};
    answerBroken_ = false;
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
    // Join the processes that use the device (a failure releases it).
    const bool alone = joinDevice(*device);
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
    // 10. Whatever the allocation gives, the device is open. The
    // allocation is an exchange like any other.
    try {
        beginExchange();
    } catch (...) {
        close();
        throw;
    }
    allocateChannel(kAllocationWaitMs);
    endExchange();
    ++opens_;
    // 11. Alone: clear what earlier processes left, before anyone else can
    // join; then let them (unless the device is held exclusively).
    if (alone && clear_) {
        try {
            clear_(*this);
        } catch (const std::exception& e) {
            if (log_ != nullptr) {
                log_->log(LOG_WARN, "Could not clear the device: %s", e.what());
            }
        }
    }
    if (alone && lock_ && !exclusive_) {
        lock_->share();
    }
}

// Takes the device's lock for this process; true when no other process
// holds the device. A device without a lock file is not shared with other
// processes, and this process never counts as its only user.
bool CHIDTransport::joinDevice(IHidDevice& device) {
    const std::optional<HidLockFile> file = device.lockFile();
    if (!file) {
        return false;
    }
    std::string error;
    std::unique_ptr<vexa::platform::DeviceLock> lock =
        vexa::platform::DeviceLock::open(file->path, file->create, error);
    if (!lock) {
        throw IOException(error);
    }
    using Presence = vexa::platform::DeviceLock::Presence;
    const Presence presence = lock->join(exclusive_, timeoutMs_);
    if (presence == Presence::Busy) {
        throw IOException("Device in use by another process");
    }
    lock_ = std::move(lock);
    return presence == Presence::Alone;
}

void CHIDTransport::leavePresence() {
    if (lock_) {
        lock_->leave();
    }
}

bool CHIDTransport::rejoinAlone(int waitMs) {
    using Presence = vexa::platform::DeviceLock::Presence;
    return !lock_ || lock_->join(true, waitMs) == Presence::Alone;
}

// Starts one request/answer step: the device is this process's until the
// answer has been read (endExchange). Nothing that arrived before the
// request can be taken for its answer.
void CHIDTransport::beginExchange() {
    if (lock_ && !lock_->lockExchange(timeoutMs_)) {
        throw IOException("Device busy: another process's exchange did not end in time");
    }
    try {
        // A device shared with other processes gets their answers too.
        if (lock_ || answerBroken_) {
            answerBroken_ = false;
            discardWaitingReports();
        }
        if (answerOverdue_) {
            answerOverdue_ = false;
            discardLateAnswer();
        }
    } catch (...) {
        endExchange();
        throw;
    }
}

void CHIDTransport::endExchange() {
    if (lock_) {
        lock_->unlockExchange();
    }
}

// Reports already waiting belong to no request of ours: answers the device
// sent to other processes (hidraw hands every report to every open), or
// the rest of an answer that came too late.
void CHIDTransport::discardWaitingReports() {
    for (int i = 0; i < kMaxDiscardedReports; ++i) {
        const int n = device_->readTimeout(report_.data(), report_.size(), 0);
        if (n == 0) {
            return;
        }
        if (n < 0) {
            failDevice(errorFrom(*device_, "null"));
        }
    }
    throw IOException("The device keeps sending reports nobody asked for");
}

// The last answer did not arrive in time and may still be on its way. In
// channel framing a fresh channel makes it unrecognisable; a device still
// busy with the old request answers the allocation after it, so the
// allocation may take up to the time-out (the late answer is skipped
// meanwhile). The plain framing has no channel: wait (up to the time-out)
// for that answer, or for the rest of one cut short, and discard it.
void CHIDTransport::discardLateAnswer() {
    if (channelFraming()) {
        if (allocateChannel(timeoutMs_) != 0) {
            answerOverdue_ = true;  // try again at the next exchange
            throw IOException("The device did not answer in time");
        }
        return;
    }
    // An answer cut short goes on where it stopped.
    bool first = lateAnswer_.first;
    size_t total = lateAnswer_.total;
    size_t got = lateAnswer_.got;
    lateAnswer_ = PlainProgress{};
    while (!first || got < total) {
        const int n = device_->readTimeout(report_.data(), readReportLength_, timeoutMs_);
        if (n < 0) {
            failDevice(errorFrom(*device_, "null"));
        }
        if (n == 0) {
            return;  // it never came
        }
        const auto size = std::min(static_cast<size_t>(n), readReportLength_);
        if (size < 2) {
            continue;  // no packet id: nothing to count
        }
        if (report_[1] == hf::kPlainFirst) {
            first = true;
            total = hf::plainTotalLength(report_.data());
            got = size > hf::kPlainFirstHeader ? size - hf::kPlainFirstHeader : 0;
        } else if (report_[1] == hf::kPlainContinuation && first) {
            got += size > hf::kPlainContHeader ? size - hf::kPlainContHeader : 0;
        }
    }
}

// The device failed (gone, unplugged, the connection to vexa-sim lost):
// release it, so that the next exchange opens it again.
void CHIDTransport::failDevice(const IOException& error) {
    close();
    throw error;
}

int CHIDTransport::allocateChannel(int waitMs) {
    // 1-2. The allocation request on the broadcast channel with a fresh nonce.
    std::array<uint8_t, kNonceSize> nonce{};
    for (uint8_t& b : nonce) {
        b = static_cast<uint8_t>(std::rand() >> 3);
    }
    hf::buildInitPacket(outPacket_.data() + 1, hf::kNoChannel, u2fhid::kCommandAllocate, kNonceSize,
                        nonce.data(), nonce.size());
    try {
        sendPacket();
    } catch (const std::exception&) {
        return kNoDevice;
    }
    // 3. Wait for the answer that echoes the nonce; ignore anything else.
    for (;;) {
        const int rc = receivePacket(waitMs);
        if (rc != 0) {
            return rc;
        }
        const uint8_t* p = inPacket_.data();
        if (u2fhid::packetChannel(p) != hf::kNoChannel ||
            u2fhid::packetCommand(p) != u2fhid::kCommandAllocate ||
            u2fhid::packetPayloadLength(p) != kAllocationAnswerLength ||
            std::memcmp(u2fhid::initPayload(p), nonce.data(), nonce.size()) != 0) {
            continue;
        }
        // 4. The new channel follows the nonce.
        channel_ = u2fhid::packetChannel(u2fhid::initPayload(p) + kNewChannelOffset);
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

int CHIDTransport::readWatched(uint8_t* data, size_t length, int waitMs) {
    if (!answerWatch_) {
        return device_->readTimeout(data, length, waitMs);
    }
    const int64_t deadline =
        vexa::platform::monotonicNanoseconds() + static_cast<int64_t>(waitMs) * 1000000;
    for (;;) {
        int slice = kAnswerWatchMs;
        if (waitMs >= 0) {
            const int64_t leftNs = deadline - vexa::platform::monotonicNanoseconds();
            const int64_t left = leftNs > 0 ? (leftNs + 999999) / 1000000 : 0;
            slice = static_cast<int>(std::min<int64_t>(left, kAnswerWatchMs));
        }
        const int n = device_->readTimeout(data, length, slice);
        if (n != 0 || slice < kAnswerWatchMs) {
            return n;
        }
        if (!answerWatch_()) {
            answerAbandoned_ = true;
            return 0;
        }
    }
}

// Reads one packet into inPacket_: 0, kTimedOut (short or no read) or
// kNoDevice (no handle, read error).
int CHIDTransport::receivePacket(int waitMs) {
    if (!device_) {
        return kNoDevice;
    }
    inPacket_.fill(hf::kFiller);
    const int n = readWatched(inPacket_.data(), inPacket_.size(), waitMs);
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
    // Longer channel-framed messages would run the sequence number into the
    // command bit and reach the device garbled: refuse them before anything
    // is sent, and without disturbing the device.
    if (n > (channelFraming() ? u2fhid::kMaxMessage : hf::kMaxPlainMessage)) {
        throw IOException("Message too long for HID transport");
    }
    // A first report must carry at least one payload byte, or the plain
    // framing's loop would never finish.
    if (!channelFraming() && n > 0 && writeReportLength_ < hf::kMinPlainReport) {
        throw IOException("HID report too short for plain framing");
    }
    // The exchange lasts until read() has taken the answer.
    beginExchange();
    try {
        if (channelFraming()) {
            writeChannel(data, n);
        } else {
            writePlain(data, n);
        }
    } catch (const IOException& e) {
        // The request did not reach the device whole: it is out of step or
        // gone; open it afresh at the next exchange.
        failDevice(e);
    }
    return length;
}

void CHIDTransport::writeChannel(const uint8_t* data, size_t length) {
    uint8_t* packet = outPacket_.data() + 1;
    size_t sent = hf::buildInitPacket(packet, channel_, u2fhid::kCommandMessage,
                                      static_cast<uint16_t>(length), data, length);
    sendPacket();
    for (uint8_t seq = 0; sent < length; ++seq) {
        sent += hf::buildContPacket(packet, channel_, seq, data + sent, length - sent);
        sendPacket();
    }
}

void CHIDTransport::writePlain(const uint8_t* data, size_t length) {
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
    // Whatever happens, the exchange that write() began ends here.
    struct ExchangeEnd {
        CHIDTransport& transport;
        ~ExchangeEnd() { transport.endExchange(); }
    } end{*this};
    if (capacity <= 0) {
        return 0;
    }
    if (buffer == nullptr) {
        throw IOException("Invalid buffer for HID transport");
    }
    const auto wanted = static_cast<size_t>(capacity);
    answerAbandoned_ = false;
    // 1. Enough buffered: the device is not touched.
    if (received_.size() < wanted) {
        // 2. Fetch one response into the receive buffer.
        if (channelFraming()) {
            fetchChannel(wanted);
        } else {
            fetchPlain();
            // Every process that has a hidraw node open gets every report:
            // a late plain answer, which nothing tells apart, must not reach
            // another process's exchange. It is awaited before the device is
            // let go (the call that timed out takes up to twice as long).
            if (answerOverdue_ && lock_ && !answerAbandoned_) {
                answerOverdue_ = false;
                try {
                    discardLateAnswer();
                } catch (const IOException&) {
                    // The device failed and is closed; this read has its result.
                }
            }
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
            const int n = readWatched(report_.data(), length, timeoutMs_);
            if (n < 0) {
                failDevice(errorFrom(*device_, "null"));
            }
            if (n == 0) {
                answerOverdue_ = true;
                lateAnswer_ = PlainProgress{first, total, got};
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
        // A broken response must not be handed out as the start of the next,
        // nor may the rest of it.
        received_.truncate(start);
        answerBroken_ = device_ != nullptr;
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
    if (result == kTimedOut || result == kSequenceError) {
        answerOverdue_ = true;
    } else if (result == kNoDevice) {
        close();  // gone: the next exchange opens it again
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
        if (u2fhid::packetChannel(inPacket_.data()) == channel_ &&
            u2fhid::isInitPacket(inPacket_.data())) {
            break;
        }
    }
    // 2. An error packet carries its code in the first payload byte.
    if (u2fhid::packetCommand(inPacket_.data()) == u2fhid::kCommandError) {
        return -static_cast<int>(u2fhid::initPayload(inPacket_.data())[0]);
    }
    // 3. Take the message up to capacity; continuation packets beyond it
    // stay unread and the next fetch skips them.
    const size_t n =
        std::min(capacity, static_cast<size_t>(u2fhid::packetPayloadLength(inPacket_.data())));
    size_t taken = std::min(n, u2fhid::kInitPayload);
    std::memcpy(staging_.data(), u2fhid::initPayload(inPacket_.data()), taken);
    uint8_t seq = 0;
    while (taken < n) {
        const int rc = receivePacket(timeoutMs_);
        if (rc != 0) {
            return rc;
        }
        if (u2fhid::packetChannel(inPacket_.data()) != channel_) {
            continue;  // another channel's packet
        }
        // Sequence numbers stop at 127, so staging_ cannot overflow: the
        // packet after sequence 127 is always a sequence error.
        if (u2fhid::isInitPacket(inPacket_.data()) || inPacket_[4] != seq) {
            return kSequenceError;
        }
        const size_t chunk = std::min(n - taken, u2fhid::kContinuationPayload);
        std::memcpy(staging_.data() + taken, u2fhid::continuationPayload(inPacket_.data()), chunk);
        taken += chunk;
        ++seq;
    }
    return static_cast<int>(n);
}

}  // namespace talvoranth
