#include <gtest/gtest.h>

#include "channel/ServiceNameOwner.h"

using velkor::ServiceNameOwner;
using Change = ServiceNameOwner::Change;

// Known from the bus's answer, or gained by activation: only that owner leaving ends it, also when
// the name passes straight to another; a lost name is never taken as owned again.
TEST(ServiceNameOwnerTest, OnlyTheKnownOwnerLeavingEndsIt) {
    ServiceNameOwner known(":1.7");
    // Stale: an earlier owner vanishing, the known owner arriving; and nothing changing hands.
    EXPECT_EQ(known.apply(":1.3", ""), Change::none);
    EXPECT_EQ(known.apply("", ":1.7"), Change::none);
    EXPECT_EQ(known.apply(":1.7", ":1.7"), Change::none);
    EXPECT_TRUE(known.isOwner(":1.7"));
    EXPECT_FALSE(known.isOwner(":1.8"));
    EXPECT_EQ(known.apply(":1.7", ":1.9"), Change::lost);
    EXPECT_FALSE(known.isOwner(":1.9"));
    EXPECT_EQ(known.apply("", ":1.10"), Change::none);
    EXPECT_FALSE(known.isOwner(":1.10"));

    ServiceNameOwner activated;
    EXPECT_FALSE(activated.isOwner(""));
    EXPECT_EQ(activated.apply("", ""), Change::none);
    EXPECT_EQ(activated.apply("", ":1.4"), Change::acquired);
    EXPECT_TRUE(activated.isOwner(":1.4"));
    EXPECT_EQ(activated.apply(":1.4", ""), Change::lost);
    EXPECT_FALSE(activated.isOwner(":1.4"));
}
