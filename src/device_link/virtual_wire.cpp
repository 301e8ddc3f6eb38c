#include "device_link/virtual_wire.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <utility>

#include "common/byte_order.h"
#include "platform/device_lock.h"

namespace vexa::virtual_wire {

Writer& Writer::u8(uint8_t v) {
    bytes_.push_back(v);
    return *this;
}

Writer& Writer::u16(uint16_t v) {
    bytes_.push_back(static_cast<uint8_t>(v));
    bytes_.push_back(static_cast<uint8_t>(v >> 8));
    return *this;
}

Writer& Writer::u32(uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) {
        bytes_.push_back(static_cast<uint8_t>(v >> shift));
    }
    return *this;
}

Writer& Writer::str(const std::string& s) {
    size_t n = s.size() > 0xFFFF ? 0xFFFF : s.size();
    u16(static_cast<uint16_t>(n));
    return raw(reinterpret_cast<const uint8_t*>(s.data()), n);
}

Writer& Writer::raw(const uint8_t* data, size_t length) {
    bytes_.insert(bytes_.end(), data, data + length);
    return *this;
}

Writer& Writer::record(const DeviceRecord& r) {
    return str(r.path)
        .u16(r.vendorId)
        .u16(r.productId)
        .str(r.serialNumber)
        .str(r.manufacturer)
        .str(r.product)
        .u16(r.usagePage)
        .u16(r.usage)
        .u16(r.reportLength);
}

bool Reader::take(size_t n) {
    if (!ok_ || length_ - pos_ < n) {
        ok_ = false;
        return false;
    }
    return true;
}

uint8_t Reader::u8() {
    if (!take(1)) {
        return 0;
    }
    return data_[pos_++];
}

uint16_t Reader::u16() {
    if (!take(2)) {
        return 0;
    }
    uint16_t v = static_cast<uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
}

uint32_t Reader::u32() {
    if (!take(4)) {
        return 0;
    }
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | data_[pos_ + static_cast<size_t>(i)];
    }
    pos_ += 4;
    return v;
}

std::string Reader::str() {
    uint16_t n = u16();
    if (!take(n)) {
        return {};
    }
    std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
}

DeviceRecord Reader::record() {
    DeviceRecord r;
    r.path = str();
    r.vendorId = u16();
    r.productId = u16();
    r.serialNumber = str();
    r.manufacturer = str();
    r.product = str();
    r.usagePage = u16();
    r.usage = u16();
    r.reportLength = u16();
    return r;
}

namespace {

constexpr size_t kLengthBytes = 4;

int millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

}  // namespace

Channel::Channel(platform::SocketHandle socket, bool stream) : socket_(socket), stream_(stream) {}

Channel::Channel(Channel&& other) noexcept {
    *this = std::move(other);
}

Channel& Channel::operator=(Channel&& other) noexcept {
    if (this != &other) {
        close();
        socket_ = std::exchange(other.socket_, platform::kNoSocket);
        stream_ = other.stream_;
        pending_ = std::move(other.pending_);
        framed_ = std::move(other.framed_);
        begin_ = std::exchange(other.begin_, 0);
        end_ = std::exchange(other.end_, 0);
    }
    return *this;
}

void Channel::shutdown() {
    if (isOpen()) {
        platform::shutdownSocket(socket_);
    }
}

void Channel::close() {
    if (isOpen()) {
        platform::closeSocket(socket_);
        socket_ = platform::kNoSocket;
    }
    begin_ = end_ = 0;
}

bool Channel::send(const std::vector<uint8_t>& message) {
    if (message.size() > kMaxMessage || !isOpen()) {
        return false;
    }
    if (stream_) {
        uint8_t length[kLengthBytes];
        common::putLe32(length, static_cast<uint32_t>(message.size()));
        return platform::sendAll(socket_, length, sizeof length) &&
               platform::sendAll(socket_, message.data(), message.size());
    }
    return platform::sendSome(socket_, message.data(), message.size(), true) ==
           static_cast<long>(message.size());
}

SendResult Channel::trySend(const std::vector<uint8_t>& message) {
    if (message.size() > kMaxMessage || !isOpen()) {
        return SendResult::Failed;
    }
    if (!stream_) {
        const long n = platform::sendSome(socket_, message.data(), message.size(), false);
        if (n == 0) {
            return SendResult::NoRoom;
        }
        return n == static_cast<long>(message.size()) ? SendResult::Sent : SendResult::Failed;
    }
    // One buffer, so that the length and the message go out together or
    // not at all when the socket is full.
    framed_.resize(kLengthBytes + message.size());
    common::putLe32(framed_.data(), static_cast<uint32_t>(message.size()));
    std::copy(message.begin(), message.end(), framed_.begin() + kLengthBytes);
    const long n = platform::sendSome(socket_, framed_.data(), framed_.size(), false);
    if (n == 0) {
        return SendResult::NoRoom;
    }
    if (n < 0) {
        return SendResult::Failed;
    }
    const size_t sent = static_cast<size_t>(n);
    return platform::sendAll(socket_, framed_.data() + sent, framed_.size() - sent)
               ? SendResult::Sent
               : SendResult::Failed;
}

bool Channel::takeBuffered(std::vector<uint8_t>& buffer, long& length) {
    length = 0;
    if (end_ - begin_ < kLengthBytes) {
        return false;
    }
    const uint32_t size = common::readLe32(pending_.data() + begin_);
    if (size == 0 || size > kMaxMessage) {
        length = -1;  // not this protocol: the connection is of no further use
        return true;
    }
    if (end_ - begin_ < kLengthBytes + size) {
        return false;
    }
    buffer.resize(kMaxMessage);
    const uint8_t* start = pending_.data() + begin_ + kLengthBytes;
    std::copy(start, start + size, buffer.begin());
    begin_ += kLengthBytes + size;
    if (begin_ == end_) {
        begin_ = end_ = 0;
    }
    length = static_cast<long>(size);
    return true;
}

long Channel::receive(std::vector<uint8_t>& buffer, int timeoutMs) {
    if (!isOpen()) {
        return -1;
    }
    if (!stream_) {
        buffer.resize(kMaxMessage);
        return platform::receiveSome(socket_, buffer.data(), buffer.size(), timeoutMs);
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    pending_.resize(kLengthBytes + kMaxMessage);
    for (;;) {
        long length = 0;
        if (takeBuffered(buffer, length)) {
            return length;
        }
        if (begin_ > 0) {  // room for the whole message behind what is here
            std::copy(pending_.begin() + static_cast<long>(begin_),
                      pending_.begin() + static_cast<long>(end_), pending_.begin());
            end_ -= begin_;
            begin_ = 0;
        }
        const int wait = timeoutMs < 0 ? -1 : millisecondsLeft(deadline);
        const long n =
            platform::receiveSome(socket_, pending_.data() + end_, pending_.size() - end_, wait);
        if (n <= 0) {
            return n;
        }
        end_ += static_cast<size_t>(n);
    }
}

bool splitHostPort(const std::string& hostPort, std::string& host, std::string& port) {
    const size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == hostPort.size()) {
        return false;
    }
    host = hostPort.substr(0, colon);
    port = hostPort.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    return !host.empty() && port.find_first_not_of("0123456789") == std::string::npos;
}

Channel connectTo(const std::string& address) {
    const std::string prefix = kTcpPrefix;
    if (address.compare(0, prefix.size(), prefix) == 0) {
        std::string host;
        std::string port;
        if (!splitHostPort(address.substr(prefix.size()), host, port)) {
            return {};
        }
        return Channel(platform::connectTcp(host, port), true);
    }
    return Channel(platform::connectPacketSocket(address), false);
}

namespace {

// The text made fit for a file name: letters, digits, '-' and '_' stay,
// anything else becomes '-'.
std::string fileNamePart(std::string text) {
    for (char& c : text) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                           (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
        if (!plain) {
            c = '-';
        }
    }
    return text;
}

}  // namespace

// A TCP link has no file of its own to put the lock files beside: they lie
// in the directory that every user and service of this machine shares,
// named after host, port and device, e.g.
// "/tmp/vexa-sim-tcp-127-0-0-1-5000.vexa-sim-0.lock". The processes of this
// machine that reach the sim by the same address take turns; a sim reached
// by two different addresses (or from two machines) is not guarded, as
// such a sim cannot tell its hosts apart either.
std::string deviceLockFile(const std::string& address, const std::string& devicePath) {
    const std::string name = fileNamePart(devicePath);
    const std::string prefix = kTcpPrefix;
    if (address.compare(0, prefix.size(), prefix) == 0) {
        return platform::DeviceLock::sharedDirectory() + "vexa-sim-tcp-" +
               fileNamePart(address.substr(prefix.size())) + "." + name + ".lock";
    }
    return address + "." + name + ".lock";
}

}  // namespace vexa::virtual_wire
