// C_SeedRandom and C_GenerateRandom over in-memory devices.
#include <gtest/gtest.h>

#include "unit/pkcs11/module_fixture.h"

namespace vexa::test {
namespace {

class Random : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_EQ(initialize(), CKR_OK);
        session_ = openSession(0);
    }
    CK_SESSION_HANDLE session_ = 0;
};

TEST_F(Random, FetchesPiecesOfAtMost1024BytesStraightIntoTheBuffer) {
    std::vector<CK_BYTE> buffer(2500, 0);
    ASSERT_EQ(C_GenerateRandom(session_, buffer.data(), buffer.size()), CKR_OK);
    const auto pieces = requestsOf(0, FunctionId::GenerateRandom);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].request.out_capacity, 1024u);
    EXPECT_EQ(pieces[1].request.out_capacity, 1024u);
    EXPECT_EQ(pieces[2].request.out_capacity, 452u);
    EXPECT_EQ(pieces[2].request.session, session_);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xA5), 2500);

    EXPECT_EQ(C_GenerateRandom(session_, buffer.data(), 0), CKR_OK);
    EXPECT_EQ(requestsOf(0, FunctionId::GenerateRandom).size(), 3u);
    EXPECT_EQ(C_GenerateRandom(session_, nullptr, 0), CKR_ARGUMENTS_BAD);
}

TEST_F(Random, ShortOrLongReplyIsAFailureNotSuccess) {
    for (const size_t delivered : {size_t{10}, size_t{33}}) {
        devices_[0]->setResponder([delivered](const SeenRequest&) {
            Reply reply = Reply::withRv(CKR_OK);
            reply.data = std::vector<uint8_t>(delivered, 0x11);
            return reply;
        });
        std::vector<CK_BYTE> buffer(32, 0);
        EXPECT_EQ(C_GenerateRandom(session_, buffer.data(), buffer.size()), CKR_FUNCTION_FAILED)
            << delivered;
    }
}

TEST_F(Random, DeviceRefusalStopsAtTheFirstPiece) {
    devices_[0]->setResponder(
        [](const SeenRequest&) { return Reply::withRv(CKR_USER_NOT_LOGGED_IN); });
    std::vector<CK_BYTE> buffer(3000);
    EXPECT_EQ(C_GenerateRandom(session_, buffer.data(), buffer.size()), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(requestsOf(0, FunctionId::GenerateRandom).size(), 1u);
}

TEST_F(Random, SeedIsSentInOneRequest) {
    CK_BYTE seed[] = {1, 2, 3};
    EXPECT_EQ(C_SeedRandom(session_, seed, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_SeedRandom(session_, nullptr, 3), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_SeedRandom(session_, seed, 3), CKR_OK);
    const auto sent = requestsOf(0, FunctionId::SeedRandom);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data, (std::vector<uint8_t>{1, 2, 3}));
}

}  // namespace
}  // namespace vexa::test
