#include "transport/hid_report_descriptor.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>

namespace talvoranth {

namespace {

// Item prefixes with the size bits cleared: bits 2-3 give the type (main,
// global, local), bits 4-7 the tag.
enum : uint8_t {
    kOutput = 0x90,       // main
    kReportSize = 0x74,   // global
    kReportId = 0x84,     // global
    kReportCount = 0x94,  // global
    kPush = 0xA4,         // global
    kPop = 0xB4,          // global
    kLongItem = 0xFE,
};

// The global state that sizes a report; Push and Pop save and restore it.
struct Globals {
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint32_t reportId = 0;
};

// Deep enough for every real descriptor; a deeper one is rejected.
constexpr size_t kMaxPushDepth = 16;

uint32_t littleEndian(const uint8_t* data, size_t size) {
    uint32_t value = 0;
    for (size_t i = size; i > 0; --i) {
        value = (value << 8) | data[i - 1];
    }
    return value;
}

}  // namespace

std::optional<size_t> outputReportLength(const uint8_t* descriptor, size_t length) {
    if (descriptor == nullptr && length != 0) {
        return std::nullopt;
    }
    Globals globals;
    std::array<Globals, kMaxPushDepth> stack{};
    size_t depth = 0;
    // Output bits per report id, summed with saturation so that absurd
    // sizes cannot wrap around into plausible ones.
    std::map<uint32_t, uint64_t> outputBits;

    size_t pos = 0;
    while (pos < length) {
        const uint8_t prefix = descriptor[pos];
        if (prefix == kLongItem) {
            if (length - pos < 3) {
                return std::nullopt;
            }
            const size_t dataSize = descriptor[pos + 1];
            if (length - pos - 3 < dataSize) {
                return std::nullopt;
            }
            pos += 3 + dataSize;
            continue;
        }
        static constexpr size_t kDataSizes[4] = {0, 1, 2, 4};
        const size_t dataSize = kDataSizes[prefix & 0x03];
        if (length - pos - 1 < dataSize) {
            return std::nullopt;
        }
        const uint32_t value = littleEndian(descriptor + pos + 1, dataSize);
        pos += 1 + dataSize;

        switch (prefix & 0xFC) {
            case kReportSize:
                globals.reportSize = value;
                break;
            case kReportCount:
                globals.reportCount = value;
                break;
            case kReportId:
                globals.reportId = value;
                break;
            case kPush:
                if (depth == stack.size()) {
                    return std::nullopt;
                }
                stack[depth++] = globals;
                break;
            case kPop:
                if (depth == 0) {
                    return std::nullopt;
                }
                globals = stack[--depth];
                break;
            case kOutput: {
                const uint64_t bits =
                    static_cast<uint64_t>(globals.reportSize) * globals.reportCount;
                uint64_t& sum = outputBits[globals.reportId];
                sum = bits > UINT64_MAX - sum ? UINT64_MAX : sum + bits;
                break;
            }
            default:
                break;
        }
    }

    if (outputBits.empty()) {
        return 0;
    }
    uint64_t longest = 0;
    for (const auto& entry : outputBits) {
        longest = std::max(longest, entry.second / 8 + (entry.second % 8 != 0 ? 1 : 0));
    }
    if (longest >= SIZE_MAX) {
        return std::nullopt;
    }
    return static_cast<size_t>(longest + 1);
}

}  // namespace talvoranth
