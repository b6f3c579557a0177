#include <gtest/gtest.h>

#include <set>
#include <unordered_set>

#include "basalt/BKPThreadMutexLock.h"
#include "velkor/UUID.h"

using namespace velkor;

TEST(UUIDTest, RandomIsVersion4AndDistinct) {
    std::unordered_set<UUID> seen;
    for (int i = 0; i < 2000; ++i) {
        auto id = UUID::random();
        EXPECT_EQ(id.bytes()[6] >> 4, 4);
        EXPECT_EQ(id.bytes()[8] & 0xC0, 0x80);
        EXPECT_FALSE(id.isZero());
        EXPECT_TRUE(seen.insert(id).second);
    }
}

TEST(UUIDTest, TextAndByteFormsRoundTrip) {
    auto id = UUID::parse("0f2c6a1e-abcd-4ef0-8123-456789abcdef");
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->description(), "0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF");
    EXPECT_EQ(id->bytes()[0], 0x0F);
    EXPECT_EQ(id->bytes()[15], 0xEF);
    EXPECT_EQ(UUID::fromBytes(id->bytes()), id);
    EXPECT_EQ(UUID::parse(id->description()), id);

    for (const char* bad :
         {"", "0F2C6A1E-ABCD-4EF0-8123-456789ABCDE", "0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF0",
          "0F2C6A1EXABCD-4EF0-8123-456789ABCDEF", "0F2C6A1E-ABCD-4EF0-8123-456789ABCDEG",
          "0F2C6A1-EABCD-4EF0-8123-456789ABCDEF"}) {
        EXPECT_FALSE(UUID::parse(bad).has_value()) << bad;
    }
    std::uint8_t fifteen[15] = {};
    std::uint8_t seventeen[17] = {};
    EXPECT_FALSE(UUID::fromBytes(fifteen).has_value());
    EXPECT_FALSE(UUID::fromBytes(seventeen).has_value());
}

TEST(UUIDTest, ZeroOrderingAndHashing) {
    EXPECT_TRUE(UUID::zero().isZero());
    EXPECT_EQ(UUID::zero().description(), "00000000-0000-0000-0000-000000000000");
    auto a = *UUID::parse("00000000-0000-0000-0000-000000000001");
    auto b = *UUID::parse("01000000-0000-0000-0000-000000000000");
    EXPECT_LT(a, b);
    EXPECT_NE(std::hash<UUID>{}(a), std::hash<UUID>{}(b));
    std::set<UUID> ordered{b, a, UUID::zero()};
    EXPECT_EQ(*ordered.begin(), UUID::zero());
}

TEST(MutexLock, SyncReturnsResultAndReleasesOnException) {
    basalt::BKPThreadMutexLock lock;
    EXPECT_EQ(lock.sync([] { return 41 + 1; }), 42);
    EXPECT_THROW(lock.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
    // Would deadlock if the exception had left the mutex held.
    EXPECT_EQ(lock.sync([] { return std::string("free"); }), "free");

    basalt::BKPThreadMutexLock recursive(true);
    EXPECT_EQ(recursive.sync([&] { return recursive.sync([] { return 7; }); }), 7);
}
