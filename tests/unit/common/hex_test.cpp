#include "common/hex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/byte_order.h"

namespace {

using vexa::common::fromHex;
using vexa::common::toHex;
using Bytes = std::vector<uint8_t>;

TEST(Hex, TextOfBytesInEitherCase) {
    const Bytes bytes = {0x00, 0x0F, 0xA5, 0xFF};
    EXPECT_EQ(toHex(bytes.data(), bytes.size()), "000fa5ff");
    EXPECT_EQ(toHex(bytes.data(), bytes.size(), true), "000FA5FF");
    EXPECT_EQ(toHex(nullptr, 0), "");
}

TEST(Hex, ReadsDigitsOfEitherCaseAndRefusesTheRestLeavingTheOutputAlone) {
    struct Case {
        std::string text;
        bool ok;
        Bytes bytes;
    };
    const Case cases[] = {
        {"", true, {}},
        {"00ff7A", true, {0x00, 0xFF, 0x7A}},
        {"DeadBEEF", true, {0xDE, 0xAD, 0xBE, 0xEF}},
        {"abc", false, {}},   // odd length
        {"0g", false, {}},    // not a digit
        {"12 4", false, {}},  // blank
        {"-1", false, {}},    // sign
        {"0x12", false, {}},  // prefix
    };
    for (const Case& c : cases) {
        Bytes out = {0x55};
        EXPECT_EQ(fromHex(c.text, out), c.ok) << c.text;
        EXPECT_EQ(out, c.ok ? c.bytes : Bytes{0x55}) << c.text;
    }
}

TEST(ByteOrder, LeastSignificantByteFirst) {
    uint8_t bytes[4] = {};
    vexa::common::putLe32(bytes, 0x12345678u);
    EXPECT_EQ(bytes[0], 0x78);
    EXPECT_EQ(bytes[1], 0x56);
    EXPECT_EQ(bytes[2], 0x34);
    EXPECT_EQ(bytes[3], 0x12);
    EXPECT_EQ(vexa::common::readLe32(bytes), 0x12345678u);
    const uint8_t high[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(vexa::common::readLe32(high), 0xFFFFFFFFu);
}

}  // namespace
