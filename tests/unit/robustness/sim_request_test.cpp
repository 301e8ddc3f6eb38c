// Requests to the virtual device that the firmware fuzzer found mishandled,
// replayed through Firmware::call.
#include <gtest/gtest.h>

#include "simcrypto/device_fixture.h"

namespace vexa::sim::test {
namespace {

class SimRequestTest : public DeviceTest {};

// An update with no data: the empty byte string arrives without a buffer
// behind it, which must not reach memcpy (undefined behaviour, reported by
// UndefinedBehaviorSanitizer).
TEST_F(SimRequestTest, BlockCipherUpdatesWithEmptyDataProduceNothing) {
    const uint32_t s = userSession();
    const uint32_t key = secretKey(s, CKM_AES_KEY_GEN, 16);
    for (uint32_t mechanism : {CKM_AES_ECB, CKM_AES_CBC_PAD}) {
        SCOPED_TRACE(mechanism);
        DeviceRequest init = req(F::EncryptInit, s);
        init.mechanism = mech(mechanism, mechanism == CKM_AES_ECB ? Bytes{} : Bytes(16, 0));
        init.object = key;
        ASSERT_EQ(call(init).rv, CKR_OK);

        DeviceRequest update = req(F::EncryptUpdate, s);
        update.data = Bytes{};
        update.outCapacity = 64;
        const DeviceResponse empty = call(update);
        EXPECT_EQ(empty.rv, CKR_OK);
        EXPECT_TRUE(empty.data.value_or(Bytes{}).empty());

        DeviceRequest final = req(F::EncryptFinal, s);
        final.outCapacity = 64;
        const DeviceResponse last = call(final);
        EXPECT_EQ(last.rv, CKR_OK);
        EXPECT_EQ(last.data.value_or(Bytes{}).size(), mechanism == CKM_AES_ECB ? 0u : 16u);
    }
}

}  // namespace
}  // namespace vexa::sim::test
