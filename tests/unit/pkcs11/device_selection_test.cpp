// Device ids and the 12-digit serial rule, the remote-daemon hook pair, and
// the scoped time-out.
#include <gtest/gtest.h>

#include "pkcs11/device_selection.h"
#include "unit/rpc/memory_device.h"

namespace {

using talvoranth::DeviceId;

TEST(DeviceSelection, OnlyTwelveHexDigitSerialsNameADevice) {
    const std::vector<std::string> serials = {
        "564558410001",   // listed
        "56455841000",    // 11 characters
        "5645584100012",  // 13 characters
        "abcdef012345",   // lower case: listed
        "56455841000G",   // not hexadecimal
    };
    const std::vector<DeviceId> ids = talvoranth::deviceIdsFromSerials(serials);
    ASSERT_EQ(ids.size(), 2u);
    const std::array<uint8_t, 8> first{0x56, 0x45, 0x58, 0x41, 0x00, 0x01, 0, 0};
    EXPECT_EQ(ids[0].bytes, first);
    // The serial rebuilt for opening is always upper case.
    EXPECT_EQ(talvoranth::serialFromDeviceId(ids[0]), "564558410001");
    EXPECT_EQ(talvoranth::serialFromDeviceId(ids[1]), "ABCDEF012345");
    EXPECT_FALSE(ids[0].isZero());
    EXPECT_TRUE(DeviceId{}.isZero());
}

TEST(DeviceSelection, RemoteDaemonIsExactlyOneDeviceWithTheAllZeroId) {
    const talvoranth::DeviceHooks hooks = talvoranth::ipDeviceHooks();
    talvoranth::ModuleConfig config;
    config.ipTransport = true;
    config.address = "localhost";
    config.port = 4443;
    const std::vector<DeviceId> ids = hooks.listDevices(config);
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_TRUE(ids[0].isZero());

    auto transport = hooks.createTransport(ids[0], config, nullptr);
    ASSERT_NE(transport, nullptr);
    EXPECT_EQ(transport->name(), "TCP");
    EXPECT_FALSE(transport->isOpen());
    DeviceId other;
    other.bytes[5] = 1;
    EXPECT_EQ(hooks.createTransport(other, config, nullptr), nullptr);
}

TEST(DeviceSelection, HidTransportIsFoundBySerialAndUsagePage) {
    const talvoranth::DeviceHooks hooks = talvoranth::hidDeviceHooks();
    talvoranth::ModuleConfig config;
    config.usagePage = 0xFF00;
    DeviceId id = *talvoranth::deviceIdFromSerial("abcdef012345");
    auto transport = hooks.createTransport(id, config, nullptr);
    ASSERT_NE(transport, nullptr);
    EXPECT_EQ(transport->name(), "HID");
    EXPECT_EQ(transport->getTimeout(), 10000);
    EXPECT_FALSE(transport->isOpen());
}

TEST(DeviceSelection, ScopedTimeoutRestoresThePreviousValueOnEveryWayOut) {
    auto device = std::make_shared<vexa::test::CMemoryDevice>();
    vexa::test::CMemoryTransport transport(device);
    transport.setTimeout(12000);
    {
        talvoranth::CScopedTimeout limit(transport, 65000);
        EXPECT_EQ(transport.getTimeout(), 65000);
    }
    EXPECT_EQ(transport.getTimeout(), 12000);
    try {
        talvoranth::CScopedTimeout limit(transport, 65000);
        throw std::runtime_error("exchange failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(transport.getTimeout(), 12000);
}

}  // namespace
