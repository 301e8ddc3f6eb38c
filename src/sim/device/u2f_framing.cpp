#include "sim/device/u2f_framing.h"

#include <algorithm>
#include <cstring>

namespace vexa::sim::u2f {

namespace {

// Answer to a channel allocation: nonce, channel, protocol version 2,
// device version 1.0.0, no capabilities.
constexpr size_t kAllocationAnswerLength = 17;
constexpr size_t kNonceLength = 8;
constexpr uint8_t kProtocolVersion = 2;

uint32_t readChannel(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void writeChannel(uint8_t* p, uint32_t channel) {
    p[0] = static_cast<uint8_t>(channel >> 24);
    p[1] = static_cast<uint8_t>(channel >> 16);
    p[2] = static_cast<uint8_t>(channel >> 8);
    p[3] = static_cast<uint8_t>(channel);
}

Received errorOnly(uint32_t channel, uint8_t code) {
    Received r;
    r.replies.push_back(errorPacket(channel, code));
    return r;
}

}  // namespace

Received Receiver::receive(const uint8_t* data, size_t length) {
    uint8_t packet[kPacketSize] = {};
    std::memcpy(packet, data, std::min(length, kPacketSize));
    const uint32_t channel = readChannel(packet);
    const uint8_t command = packet[4];

    if ((command & 0x80) == 0) {
        // Continuation packet.
        if (!pending_ || pending_->channel != channel) {
            return {};
        }
        if (command != pending_->nextSequence) {
            pending_.reset();
            return errorOnly(channel, kErrInvalidSequence);
        }
        const size_t take =
            std::min(kContinuationPayload, pending_->total - pending_->payload.size());
        pending_->payload.insert(pending_->payload.end(), packet + 5, packet + 5 + take);
        ++pending_->nextSequence;
    } else {
        const size_t payloadLength = (size_t{packet[5]} << 8) | packet[6];
        if (pending_ && pending_->channel == channel) {
            pending_.reset();
        }
        if (command == kCommandAllocate) {
            if (payloadLength != kNonceLength) {
                return errorOnly(channel, kErrInvalidLength);
            }
            if (channel != kBroadcastChannel && !channels_.channelAllocated(channel)) {
                return errorOnly(channel, kErrInvalidChannel);
            }
            // On the broadcast channel a fresh channel; on an allocated one
            // the same channel again (a resynchronisation).
            const uint32_t assigned =
                channel == kBroadcastChannel ? channels_.allocateChannel() : channel;
            Bytes answer(kAllocationAnswerLength, 0);
            std::memcpy(answer.data(), packet + 7, kNonceLength);
            writeChannel(answer.data() + kNonceLength, assigned);
            answer[12] = kProtocolVersion;
            answer[13] = 1;
            Received r;
            r.replies = framePackets(channel, kCommandAllocate, answer);
            return r;
        }
        if (command != kCommandMessage) {
            return errorOnly(channel, kErrInvalidCommand);
        }
        if (channel == kBroadcastChannel || !channels_.channelAllocated(channel)) {
            return errorOnly(channel, kErrInvalidChannel);
        }
        if (payloadLength > kMaxMessage) {
            return errorOnly(channel, kErrInvalidLength);
        }
        Pending p;
        p.channel = channel;
        p.total = payloadLength;
        p.payload.reserve(payloadLength);
        const size_t take = std::min(kInitPayload, payloadLength);
        p.payload.insert(p.payload.end(), packet + 7, packet + 7 + take);
        pending_ = std::move(p);
    }

    if (pending_ && pending_->payload.size() == pending_->total) {
        Received r;
        r.message = std::move(pending_->payload);
        r.channel = pending_->channel;
        pending_.reset();
        return r;
    }
    return {};
}

std::vector<Bytes> framePackets(uint32_t channel, uint8_t command, const Bytes& payload) {
    std::vector<Bytes> packets;
    const size_t total = std::min(payload.size(), kMaxMessage);
    Bytes first(kPacketSize, 0);
    writeChannel(first.data(), channel);
    first[4] = command;
    first[5] = static_cast<uint8_t>(total >> 8);
    first[6] = static_cast<uint8_t>(total);
    size_t sent = std::min(total, kInitPayload);
    std::copy_n(payload.begin(), sent, first.begin() + 7);
    packets.push_back(std::move(first));
    for (uint8_t sequence = 0; sent < total; ++sequence) {
        Bytes next(kPacketSize, 0);
        writeChannel(next.data(), channel);
        next[4] = sequence;
        const size_t take = std::min(total - sent, kContinuationPayload);
        std::copy_n(payload.begin() + static_cast<std::ptrdiff_t>(sent), take, next.begin() + 5);
        sent += take;
        packets.push_back(std::move(next));
    }
    return packets;
}

Bytes errorPacket(uint32_t channel, uint8_t code) {
    return framePackets(channel, kCommandError, Bytes{code}).front();
}

}  // namespace vexa::sim::u2f
