// The device side of the U2FHID channel framing: 64-byte packets with a
// channel identifier, initialization packets (command with bit 7 set) and
// continuation packets (sequence 0 to 127).
//
// The receiver answers the channel allocation (0x86) with the host's nonce
// and a fresh channel, assembles 0xC0 messages on allocated channels, and
// answers what it cannot take with an error packet (0xBF) or drops it:
//   - unknown command, or a 0x86 with a payload length other than 8:
//     error packet (ERR_INVALID_CMD, ERR_INVALID_LEN);
//   - a message on a channel that was never allocated: ERR_INVALID_CHANNEL;
//   - a message longer than u2fhid::kMaxMessage: ERR_INVALID_LEN;
//   - a continuation out of sequence: ERR_INVALID_SEQ, the message is lost;
//   - a continuation with no message in progress on its channel: dropped.
// A new initialization packet on a channel abandons the message in
// progress there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "device_link/u2fhid.h"
#include "sim/types/device_types.h"

namespace vexa::sim::u2f {

// Hands out channel identifiers; shared by every connection to a device.
class ChannelAllocator {
public:
    virtual ~ChannelAllocator() = default;
    virtual uint32_t allocateChannel() = 0;
    virtual bool channelAllocated(uint32_t channel) const = 0;
};

// What one received packet led to.
struct Received {
    std::vector<Bytes> replies;    // packets to send at once (allocation answer, error)
    std::optional<Bytes> message;  // a complete 0xC0 message
    uint32_t channel = 0;          // the channel of `message`
};

class Receiver {
public:
    explicit Receiver(ChannelAllocator& channels) : channels_(channels) {}

    // Takes one packet; a shorter one counts as zero-padded to 64 bytes.
    Received receive(const uint8_t* packet, size_t length);

private:
    struct Pending {
        uint32_t channel = 0;
        size_t total = 0;
        uint8_t nextSequence = 0;
        Bytes payload;
    };

    ChannelAllocator& channels_;
    std::optional<Pending> pending_;
};

// The packets of one device-to-host message on `channel`. Payload bytes
// beyond the message are 0.
std::vector<Bytes> framePackets(uint32_t channel, uint8_t command, const Bytes& payload);

// An error packet: command 0xBF, payload length 1, the code.
Bytes errorPacket(uint32_t channel, uint8_t code);

}  // namespace vexa::sim::u2f
