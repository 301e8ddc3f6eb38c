// Secret bytes: a copy in pages of their own, moved without copying the
// secret around, given back (and wiped) when cleared.
#include "platform/secret_memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

namespace vexa::platform {
namespace {

TEST(SecretBytes, HoldsACopyThatMovesAndGoesWhenCleared) {
    char pin[] = "123456";
    SecretBytes kept(pin, 6);
    ASSERT_TRUE(kept.held());
    ASSERT_EQ(kept.size(), 6u);
    EXPECT_NE(static_cast<const void*>(kept.data()), static_cast<const void*>(pin));
    EXPECT_EQ(std::memcmp(kept.data(), pin, 6), 0);

    const uint8_t* pages = kept.data();
    SecretBytes moved(std::move(kept));
    EXPECT_FALSE(kept.held());
    EXPECT_EQ(moved.data(), pages);

    // An empty secret is still held; replacing one gives the old one back.
    moved = SecretBytes(pin, 0);
    EXPECT_TRUE(moved.held());
    EXPECT_EQ(moved.size(), 0u);
    moved.clear();
    EXPECT_FALSE(moved.held());
    EXPECT_EQ(moved.data(), nullptr);
}

TEST(SecretBytes, WipingInPlaceZeroesTheBytes) {
    const char text[] = "kept behind the login";
    SecretBytes kept(text, sizeof text);
    kept.wipeInPlace();
    ASSERT_TRUE(kept.held());
    for (size_t i = 0; i < kept.size(); ++i) {
        EXPECT_EQ(kept.data()[i], 0) << i;
    }
}

}  // namespace
}  // namespace vexa::platform
