#include <gtest/gtest.h>

#include "channel/ServiceNameOwner.h"

using velkor::ServiceNameOwner;
using Change = ServiceNameOwner::Change;

// The owner known from the bus's answer, then announcements that were queued before that answer
// (stale) and after it.
TEST(ServiceNameOwnerTest, OnlyTheKnownOwnerLeavingEndsIt) {
    ServiceNameOwner owner(":1.7");
    EXPECT_TRUE(owner.isOwner(":1.7"));
    EXPECT_FALSE(owner.isOwner(":1.8"));
    EXPECT_EQ(owner.apply(":1.3", ""), Change::none);      // an earlier owner vanishing
    EXPECT_EQ(owner.apply("", ":1.7"), Change::none);      // the known owner arriving
    EXPECT_EQ(owner.apply(":1.7", ":1.7"), Change::none);  // nothing changed hands
    EXPECT_TRUE(owner.isOwner(":1.7"));

    // Passed straight to another owner: the daemon we talked to is gone, and a lost name is never
    // taken as owned again, whoever takes it.
    EXPECT_EQ(owner.apply(":1.7", ":1.9"), Change::lost);
    EXPECT_FALSE(owner.isOwner(":1.9"));
    EXPECT_EQ(owner.apply("", ":1.10"), Change::none);
    EXPECT_FALSE(owner.isOwner(":1.10"));
}

TEST(ServiceNameOwnerTest, AnActivatedDaemonIsAcceptedThenItsExitIsALoss) {
    ServiceNameOwner owner;
    EXPECT_FALSE(owner.isOwner(""));
    EXPECT_EQ(owner.apply("", ""), Change::none);
    EXPECT_EQ(owner.apply("", ":1.4"), Change::acquired);
    EXPECT_TRUE(owner.isOwner(":1.4"));
    EXPECT_EQ(owner.apply(":1.4", ""), Change::lost);
    EXPECT_FALSE(owner.isOwner(":1.4"));
}
