#include <gtest/gtest.h>

#include "internals/ChangeNotification.h"
#include "internals/ServerResponse.h"

using namespace velkor;

// Raw values arrive from the bus: every valid one must convert back to itself and the first value
// past either end of each range must be refused.
TEST(RawValueConversion, ValidValuesRoundTripAndBothEndsAreRefused) {
    for (std::int64_t raw = 0; raw <= 13; ++raw) {
        auto e = VKError::fromRawValue(raw);
        ASSERT_TRUE(e.has_value()) << raw;
        EXPECT_EQ(e->rawValue(), raw);
    }
    for (std::int64_t raw = 1; raw <= 12; ++raw) {
        auto t = changeTypeFromRawValue(raw);
        ASSERT_TRUE(t.has_value()) << raw;
        EXPECT_EQ(rawValue(*t), raw);
    }
    for (std::int64_t raw = 0; raw <= 4; ++raw) {
        auto r = changeResultFromRawValue(raw);
        ASSERT_TRUE(r.has_value()) << raw;
        EXPECT_EQ(rawValue(*r), raw);
    }

    for (std::int64_t raw : {std::int64_t{-1}, std::int64_t{14}})
        EXPECT_FALSE(VKError::fromRawValue(raw).has_value()) << raw;
    for (std::int64_t raw : {std::int64_t{0}, std::int64_t{13}})
        EXPECT_FALSE(changeTypeFromRawValue(raw).has_value()) << raw;
    for (std::int64_t raw : {std::int64_t{-1}, std::int64_t{5}})
        EXPECT_FALSE(changeResultFromRawValue(raw).has_value()) << raw;
}
