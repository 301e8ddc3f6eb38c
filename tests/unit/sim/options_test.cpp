// The command line of vexa-sim: what is accepted, what each device gets,
// and what is refused with a reason.
#include <gtest/gtest.h>

#include <vector>

#include "sim/server/options.h"

namespace vexa::sim {
namespace {

std::optional<SimOptions> parse(std::vector<const char*> args, std::string* error = nullptr) {
    args.insert(args.begin(), "vexa-sim");
    std::string text;
    std::optional<SimOptions> options =
        parseOptions(static_cast<int>(args.size()), args.data(), error ? *error : text);
    return options;
}

TEST(SimOptions, Defaults) {
    std::optional<SimOptions> o = parse({"--socket", "/tmp/s"});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->devices, 1u);
    EXPECT_EQ(o->framing, Framing::U2f);
    EXPECT_EQ(o->reportLength, 64);
    EXPECT_EQ(o->label, "Vexa Token");
    EXPECT_EQ(o->soPin, "12345678");
    EXPECT_EQ(o->userPin, "123456");
    EXPECT_EQ(o->settleMs, 500u);
    EXPECT_TRUE(o->statePath.empty());
    const std::vector<DeviceConfig> devices = deviceConfigs(*o);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].serial, "564558410001");
    EXPECT_EQ(devices[0].product, "Vexa");
}

TEST(SimOptions, GeneratedSerialsAreStableDistinctAndTwelveUpperHexDigits) {
    for (size_t i = 0; i < 16; ++i) {
        const std::string serial = defaultSerial(i);
        EXPECT_EQ(serial, defaultSerial(i));
        ASSERT_EQ(serial.size(), 12u);
        EXPECT_EQ(serial.find_first_not_of("0123456789ABCDEF"), std::string::npos);
        if (i > 0) {
            EXPECT_NE(serial, defaultSerial(i - 1));
        }
    }
}

TEST(SimOptions, SerialsAndProductsGoToTheDevicesInOrder) {
    std::optional<SimOptions> o =
        parse({"--socket", "/tmp/s", "--devices", "3", "--serial", "a1b2c3d4e5f6", "--serial",
               "000000000001", "--product", "Dorvik", "--framing", "plain"});
    ASSERT_TRUE(o);
    const std::vector<DeviceConfig> devices = deviceConfigs(*o);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].serial, "A1B2C3D4E5F6");
    EXPECT_EQ(devices[1].serial, "000000000001");
    EXPECT_EQ(devices[2].serial, "564558410003");
    EXPECT_EQ(devices[0].product, "Dorvik");
    EXPECT_EQ(devices[1].product, "Vexa");
    EXPECT_EQ(devices[2].framing, Framing::Plain);
}

TEST(SimOptions, SeveralValuesAfterOneFlagSetTheDeviceCount) {
    std::optional<SimOptions> o =
        parse({"--serial", "111111111111", "222222222222", "--socket", "/tmp/s"});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->devices, 2u);
}

TEST(SimOptions, HelpNeedsNothingElse) {
    std::optional<SimOptions> o = parse({"--help"});
    ASSERT_TRUE(o);
    EXPECT_TRUE(o->help);
    const std::string help = helpText();
    for (const char* word :
         {"--socket",   "--devices", "--serial",   "--product", "--framing",   "--report-length",
          "--label",    "--so-pin",  "--user-pin", "--state",   "--settle-ms", "--control",
          "Vexa Token", "12345678",  "123456",     "drop",      "delay",       "error",
          "garbage",    "vanish"}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
}

TEST(SimOptions, BadCommandLinesAreRefusedWithAReason) {
    const std::vector<std::vector<const char*>> bad = {
        {},
        {"--devices", "2"},
        {"--socket"},
        {"--socket", "/tmp/s", "--devices", "0"},
        {"--socket", "/tmp/s", "--devices", "17"},
        {"--socket", "/tmp/s", "--devices", "two"},
        {"--socket", "/tmp/s", "--serial", "12345"},
        {"--socket", "/tmp/s", "--serial", "G00000000000"},
        {"--socket", "/tmp/s", "--serial", "111111111111", "111111111111"},
        {"--socket", "/tmp/s", "--devices", "1", "--serial", "111111111111", "222222222222"},
        {"--socket", "/tmp/s", "--serial", "564558410002", "--devices", "2"},
        {"--socket", "/tmp/s", "--product", "Other"},
        {"--socket", "/tmp/s", "--framing", "hid"},
        {"--socket", "/tmp/s", "--report-length", "4"},
        {"--socket", "/tmp/s", "--so-pin", "123"},
        {"--socket", "/tmp/s", "--user-pin", "123456789012345678901234567890123"},
        {"--socket", "/tmp/s", "--label", "a label that is longer than thirty-two bytes"},
        {"--socket", "/tmp/s", "--settle-ms", "-1"},
        {"--socket", "/tmp/s", "--bogus"},
    };
    for (const auto& args : bad) {
        std::string error;
        std::string joined;
        for (const char* a : args) {
            joined += std::string(a) + " ";
        }
        SCOPED_TRACE(joined);
        EXPECT_FALSE(parse(args, &error));
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
}  // namespace vexa::sim
