// The daemon's port functions: null handling, results and the exact lines
// they print on standard error.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "transport/hid_transport.h"
#include "transport/port.h"
#include "unit/hid/fake_hid.h"

namespace {

using namespace hidtest;

// Points VEXA_VIRTUAL_DEVICE at a socket nobody serves for one test.
class UnreachableVirtualDevice {
public:
    UnreachableVirtualDevice() {
        const char* old = std::getenv("VEXA_VIRTUAL_DEVICE");
        if (old != nullptr) {
            saved_ = old;
        }
        vexa::platform::setEnvironment("VEXA_VIRTUAL_DEVICE", kPath);
    }
    ~UnreachableVirtualDevice() {
        if (saved_) {
            vexa::platform::setEnvironment("VEXA_VIRTUAL_DEVICE", saved_->c_str());
        } else {
            vexa::platform::unsetEnvironment("VEXA_VIRTUAL_DEVICE");
        }
    }
    static constexpr const char* kPath = "/nonexistent-vexa-test/sim.sock";

private:
    std::optional<std::string> saved_;
};

TEST(PortFunctions, NullArgumentsAreRefusedQuietly) {
    unsigned char buffer[8];
    int length = 8;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(port_read(nullptr, buffer, &length));
    EXPECT_FALSE(port_write(nullptr, buffer, 8));
    port_close(nullptr);
    port_list_free(nullptr);

    auto hid = std::make_shared<FakeHid>();
    talvoranth::CHIDTransport transport(nullptr, std::make_shared<FakeBackend>(hid));
    EXPECT_FALSE(port_read(&transport, buffer, nullptr));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

class PortOverFakeDevice : public ::testing::Test {
protected:
    void SetUp() override {
        hid->records = {vexaRecord("/fake/0", L"0123456789AB")};
        transport.setSerialNumber("0123456789AB");
    }
    std::shared_ptr<FakeHid> hid = std::make_shared<FakeHid>();
    talvoranth::CHIDTransport transport{nullptr, std::make_shared<FakeBackend>(hid)};
};

TEST_F(PortOverFakeDevice, ReadAndWriteCarryAMessage) {
    transport.open();  // plain framing: the allocation is not answered
    const unsigned char request[] = {1, 2, 3};
    EXPECT_TRUE(port_write(&transport, request, 3));
    EXPECT_EQ(hid->writes.back()[5], 1);

    hid->reads.push_back(ReadStep::data(plainReport(65, 0, {7, 8, 9}, 3)));
    unsigned char buffer[16];
    int length = sizeof buffer;
    EXPECT_TRUE(port_read(&transport, buffer, &length));
    EXPECT_EQ(length, 3);
    EXPECT_EQ(buffer[2], 9);

    // Nothing arrives: still true, with length 0.
    length = sizeof buffer;
    EXPECT_TRUE(port_read(&transport, buffer, &length));
    EXPECT_EQ(length, 0);
}

TEST_F(PortOverFakeDevice, FailuresPrintTheirLineAndReturnFalse) {
    unsigned char buffer[16] = {};
    testing::internal::CaptureStderr();
    EXPECT_FALSE(port_write(&transport, buffer, 3));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error writing to portNull handle\n");

    transport.open();
    hid->reads.push_back(ReadStep::data(plainReport(65, 9, {}, 0)));
    int length = sizeof buffer;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(port_read(&transport, buffer, &length));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error reading from portInvalid HID packet id received\n");
    EXPECT_EQ(length, 0);
}

TEST_F(PortOverFakeDevice, CloseTwiceIsHarmlessAndKeepsTheObject) {
    transport.open();
    port_close(&transport);
    port_close(&transport);
    EXPECT_FALSE(transport.isOpen());
    EXPECT_EQ(hid->openDevices, 0);
    transport.open();  // the object is still usable
    EXPECT_TRUE(transport.isOpen());
}

TEST(PortFunctions, OpenFailurePrintsTheTransportMessageAndGivesNull) {
    UnreachableVirtualDevice unreachable;
    testing::internal::CaptureStderr();
    EXPECT_EQ(port_open(0x0483, 0xA2AC, 120000, nullptr, "0123456789AB"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("Error opening port: Unable to reach the virtual device at ") +
                  UnreachableVirtualDevice::kPath + "\n");
}

TEST(PortFunctions, ListFailureGivesAnEmptyList) {
    UnreachableVirtualDevice unreachable;
    testing::internal::CaptureStderr();
    char** list = port_list(0x0483, 0xA2AC);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("Exception while enumerating HID devices. (Unable to reach the "
                          "virtual device at ") +
                  UnreachableVirtualDevice::kPath + ")\n");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0], nullptr);
    port_list_free(list);
}

}  // namespace
