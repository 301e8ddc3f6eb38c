// Which enumerated devices the HID transport opens and lists.
#include <gtest/gtest.h>

#include <functional>

#include "transport/hid_device_match.h"
#include "unit/hid/fake_hid.h"

namespace {

using namespace hidtest;
using talvoranth::HidDeviceInfo;
using talvoranth::HidFilter;

HidFilter serialFilter(uint16_t vendorId = 0, const char* serial = "0123456789AB") {
    HidFilter f;
    f.vendorId = vendorId;
    f.productId = vendorId != 0 ? 0xA2AC : 0;
    f.serialNumber = serial;
    return f;
}

TEST(HidDeviceMatch, OpenMatchTable) {
    struct Case {
        const char* name;
        std::function<void(HidDeviceInfo&, HidFilter&)> change;
        bool matches;
    };
    const std::vector<Case> cases = {
        {"manufacturer and serial", [](auto&, auto&) {}, true},
        {"no manufacturer string", [](auto& r, auto&) { r.manufacturer.reset(); }, false},
        {"another manufacturer, vendor id 0",
         [](auto& r, auto&) { r.manufacturer = L"Talvoranth Inc"; }, false},
        {"manufacturer differs in case", [](auto& r, auto&) { r.manufacturer = L"talvoranth"; },
         false},
        {"another manufacturer, vendor and product id given",
         [](auto& r, auto& f) {
             r.manufacturer = L"Other";
             f = serialFilter(0x0483);
         },
         true},
        {"no serial number", [](auto& r, auto&) { r.serialNumber.reset(); }, false},
        {"empty serial number, no serial filter",
         [](auto& r, auto& f) {
             r.serialNumber = L"";
             f = serialFilter(0x0483, "");
         },
         false},
        {"usage page differs", [](auto&, auto& f) { f.usagePage = 0xFF00; }, false},
        {"usage page equal", [](auto&, auto& f) { f.usagePage = 0xF1D0; }, true},
        {"product id differs",
         [](auto& r, auto& f) {
             f = serialFilter(0x0483);
             r.productId = 0xA2AD;
         },
         false},
        {"serial is a prefix", [](auto&, auto& f) { f.serialNumber = "0123456789A"; }, false},
        {"product and serial equal", [](auto&, auto& f) { f.product = "Vexa"; }, true},
        {"product equal, serial differs",
         [](auto&, auto& f) {
             f.product = "Vexa";
             f.serialNumber = "FFFFFFFFFFFF";
         },
         false},
        {"product equal, no serial filter",
         [](auto&, auto& f) {
             f.product = "Vexa";
             f.serialNumber.clear();
         },
         true},
        {"product differs", [](auto&, auto& f) { f.product = "Dorvik"; }, false},
        {"device reports no product",
         [](auto& r, auto& f) {
             r.product.reset();
             f.product = "Vexa";
         },
         false},
        {"no name filters, ids given", [](auto&, auto& f) { f = serialFilter(0x0483, ""); }, true},
        {"no name filters, vendor id 0", [](auto&, auto& f) { f.serialNumber.clear(); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HidDeviceInfo record = vexaRecord("/fake/0", L"0123456789AB");
        HidFilter filter = serialFilter();
        c.change(record, filter);
        EXPECT_EQ(talvoranth::matchesForOpen(record, filter), c.matches);
    }
}

TEST(HidDeviceMatch, LongTextsAreCutTo255Bytes) {
    EXPECT_EQ(talvoranth::toMultibyte(std::wstring(255, L'x')), std::string(255, 'x'));
    EXPECT_EQ(talvoranth::toMultibyte(std::wstring(256, L'x')), std::string(255, 'x'));
    EXPECT_EQ(talvoranth::toMultibyte(std::wstring(300, L'x')), std::string(255, 'x'));
    EXPECT_EQ(talvoranth::toMultibyte(L""), std::string());
}

TEST(HidDeviceMatch, ListedSerialsAreSortedUniqueAndQualified) {
    auto hid = std::make_shared<FakeHid>();
    hid->records = {vexaRecord("/fake/0", L"BBBBBBBBBBBB"), vexaRecord("/fake/1", L"AAAAAAAAAAAA"),
                    vexaRecord("/fake/2", L"BBBBBBBBBBBB"), vexaRecord("/fake/3", L"0123"),
                    vexaRecord("/fake/4", L"")};
    hid->records.push_back(vexaRecord("/fake/5", L"CCCCCCCCCCCC"));
    hid->records.back().manufacturer = L"Other";
    hid->records.push_back(vexaRecord("/fake/6", L"DDDDDDDDDDDD"));
    hid->records.back().manufacturer.reset();
    FakeBackend backend(hid);

    EXPECT_EQ(talvoranth::listSerialNumbers(backend, 0, 0),
              (std::vector<std::string>{"0123", "AAAAAAAAAAAA", "BBBBBBBBBBBB"}));
    // With a vendor id, the manufacturer needs only be present.
    EXPECT_EQ(talvoranth::listSerialNumbers(backend, 0x0483, 0xA2AC),
              (std::vector<std::string>{"0123", "AAAAAAAAAAAA", "BBBBBBBBBBBB", "CCCCCCCCCCCC"}));
}

TEST(HidDeviceMatch, EnumerationFailureIsPrintedAndGivesNoSerials) {
    auto hid = std::make_shared<FakeHid>();
    hid->enumerateThrows = true;
    FakeBackend backend(hid);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(talvoranth::listSerialNumbers(backend, 0x0483, 0xA2AC).empty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Exception while enumerating HID devices. (enumeration broke)\n");
}

}  // namespace
