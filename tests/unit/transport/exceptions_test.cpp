#include <gtest/gtest.h>

#include <stdexcept>

#include "transport/exceptions.h"
#include "transport/transport.h"

using talvoranth::Exception;
using talvoranth::IOException;
using talvoranth::Throwable;

TEST(Exceptions, NullTextsBecomeTheWordNull) {
    EXPECT_STREQ(Throwable(static_cast<const char*>(nullptr), 3).what(), "null");
    EXPECT_STREQ(Throwable(static_cast<const char16_t*>(nullptr), 3).what(), "null");
}

TEST(Exceptions, WideTextKeepsTheLowByteOfEachUnit) {
    // U+0141 keeps 0x41 ('A'); U+20AC keeps 0xAC.
    Throwable t(u"x\u0141\u20AC", 7);
    EXPECT_EQ(std::string(t.what()), std::string("xA\xAC"));
    EXPECT_EQ(t.code(), 7);
}

TEST(Exceptions, IOExceptionIsCaughtAsStdExceptionWithCodeMinusOne) {
    try {
        throw IOException("Device not detected");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Device not detected");
        const auto* thrown = dynamic_cast<const Exception*>(&e);
        ASSERT_NE(thrown, nullptr);
        EXPECT_EQ(thrown->code(), -1);
    }
}

namespace {
// The smallest concrete transport: records what writeString sends.
class RecordingTransport : public talvoranth::CTransport {
public:
    bool isOpen() override { return false; }
    int getTimeout() override { return 0; }
    int read(unsigned char*, int) override { return 0; }
    int write(const unsigned char* data, int length) override {
        sent.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
        return length;
    }
    std::string name() override { return "REC"; }
    std::string sent;
};
}  // namespace

TEST(Transport, WriteStringSendsTheTextBytesAndCloseWhenClosedIsHarmless) {
    RecordingTransport t;
    t.close();
    t.writeString(std::string("ab\0c", 4));
    EXPECT_EQ(t.sent, std::string("ab\0c", 4));
}
