#include "sim/device/u2f_framing.h"

#include <algorithm>
#include <cstring>

namespace vexa::sim::u2f {

using namespace vexa::u2fhid;

namespace {

// Answer to a channel allocation: nonce, channel, protocol version 2,
// device version 1.0.0, no capabilities.
constexpr size_t kAllocationAnswerLength = 17;
constexpr size_t kNonceLength = 8;
constexpr uint8_t kProtocolVersion = 2;

Received errorOnly(uint32_t channel, uint8_t code) {
    Received r;
    r.replies.push_back(errorPacket(channel, code));
    return r;
}

}  // namespace

Received Receiver::receive(const uint8_t* data, size_t length) {
    uint8_t packet[kPacketSize] = {};
    std::memcpy(packet, data, std::min(length, kPacketSize));
    const uint32_t channel = packetChannel(packet);
    const uint8_t command = packetCommand(packet);

    if (!isInitPacket(packet)) {
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
        const uint8_t* payload = continuationPayload(packet);
        pending_->payload.insert(pending_->payload.end(), payload, payload + take);
        ++pending_->nextSequence;
    } else {
        const size_t payloadLength = packetPayloadLength(packet);
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
            std::memcpy(answer.data(), initPayload(packet), kNonceLength);
            putPacketChannel(answer.data() + kNonceLength, assigned);
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
        const uint8_t* payload = initPayload(packet);
        p.payload.insert(p.payload.end(), payload, payload + take);
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
    putPacketChannel(first.data(), channel);
    first[4] = command;
    putPacketPayloadLength(first.data(), static_cast<uint16_t>(total));
    size_t sent = std::min(total, kInitPayload);
    std::copy_n(payload.begin(), sent, first.begin() + kInitPayloadOffset);
    packets.push_back(std::move(first));
    for (uint8_t sequence = 0; sent < total; ++sequence) {
        Bytes next(kPacketSize, 0);
        putPacketChannel(next.data(), channel);
        next[4] = sequence;
        const size_t take = std::min(total - sent, kContinuationPayload);
        std::copy_n(payload.begin() + static_cast<std::ptrdiff_t>(sent), take,
                    next.begin() + kContinuationPayloadOffset);
        sent += take;
        packets.push_back(std::move(next));
    }
    return packets;
}

Bytes errorPacket(uint32_t channel, uint8_t code) {
    return framePackets(channel, kCommandError, Bytes{code}).front();
}

}  // namespace vexa::sim::u2f
