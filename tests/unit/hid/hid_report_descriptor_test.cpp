// Output report length from a report descriptor, as hidapi would report it
// (report id byte included).
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "transport/hid_report_descriptor.h"

namespace {

using talvoranth::outputReportLength;
using Bytes = std::vector<uint8_t>;

// A FIDO-style descriptor: 64-byte input and output reports, no report ids.
const Bytes kU2fDescriptor = {
    0x06, 0xD0, 0xF1,                                      // usage page (FIDO)
    0x09, 0x01,                                            // usage
    0xA1, 0x01,                                            // collection (application)
    0x09, 0x20, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,  // report size 8
    0x95, 0x40,                                            // report count 64
    0x81, 0x02,                                            // input
    0x09, 0x21, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,  // report size 8
    0x95, 0x40,                                            // report count 64
    0x91, 0x02,                                            // output
    0xC0,                                                  // end collection
};

struct Case {
    const char* name;
    Bytes descriptor;
    std::optional<size_t> expected;
};

TEST(HidReportDescriptor, OutputReportLength) {
    const std::vector<Case> cases = {
        {"one 64-byte report, no report ids", kU2fDescriptor, 65},
        {"report id 1 with 63 bytes", {0x85, 0x01, 0x75, 0x08, 0x95, 0x3F, 0x91, 0x02}, 64},
        {"the longest of two numbered reports",
         {0x85, 0x01, 0x75, 0x08, 0x95, 0x10, 0x91, 0x02,  // 16 bytes
          0x85, 0x02, 0x95, 0x40, 0x91, 0x02,              // 64 bytes
          0x85, 0x03, 0x95, 0x20, 0x91, 0x02},             // 32 bytes
         65},
        {"fields of one report add up",
         {0x75, 0x08, 0x95, 0x20, 0x91, 0x02, 0x95, 0x20, 0x91, 0x02},
         65},
        {"bits round up to whole bytes",
         {0x75, 0x01, 0x95, 0x05, 0x91, 0x02, 0x75, 0x03, 0x95, 0x01, 0x91, 0x01, 0x75, 0x01, 0x95,
          0x01, 0x91, 0x01},
         3},
        {"push and pop restore the sizes",
         {0x75, 0x08, 0x95, 0x40, 0xA4, 0x95, 0x02, 0x91, 0x02, 0xB4, 0x91, 0x02},
         67},
        {"two- and four-byte data",
         {0x76, 0x08, 0x00, 0x97, 0x20, 0x00, 0x00, 0x00, 0x91, 0x02},
         33},
        {"long items are skipped",
         {0xFE, 0x02, 0x10, 0x91, 0x91, 0x75, 0x08, 0x95, 0x04, 0x91, 0x02},
         5},
        {"input and feature reports only", {0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0xB1, 0x02}, 0},
        {"empty descriptor", {}, 0},
        {"truncated short item", {0x75, 0x08, 0x95}, std::nullopt},
        {"truncated four-byte item", {0x97, 0x20, 0x00}, std::nullopt},
        {"truncated long item", {0xFE, 0x05, 0x10, 0x00}, std::nullopt},
        {"pop without push", {0xB4, 0x91, 0x02}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(outputReportLength(c.descriptor.data(), c.descriptor.size()), c.expected);
    }
}

TEST(HidReportDescriptor, PushDeeperThanTheStackIsRejected) {
    Bytes descriptor(17, 0xA4);
    EXPECT_EQ(outputReportLength(descriptor.data(), descriptor.size()), std::nullopt);
    descriptor.resize(16);
    EXPECT_EQ(outputReportLength(descriptor.data(), descriptor.size()), 0u);
}

TEST(HidReportDescriptor, AbsurdSizesDoNotWrapAround) {
    // Size and count at their 32-bit maximum, twice: more bits than 64-bit
    // arithmetic holds.
    const Bytes descriptor = {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF,
                              0xFF, 0xFF, 0xFF, 0x91, 0x02, 0x91, 0x02};
    const std::optional<size_t> length = outputReportLength(descriptor.data(), descriptor.size());
    // A 64-bit size_t holds the huge length; a 32-bit one (32-bit Windows)
    // cannot, and there is no length at all.
    if (sizeof(size_t) >= 8) {
        ASSERT_TRUE(length.has_value());
        EXPECT_GT(*length, std::numeric_limits<size_t>::max() / 16);
    } else {
        EXPECT_FALSE(length.has_value());
    }
}

}  // namespace
