#include <gtest/gtest.h>

#include <unistd.h>

#include "dbus/BusError.h"
#include "dbus/BusLoop.h"
#include "dbus/NameOwnerChanged.h"
#include "support/BlockingQueue.h"
#include "support/PrivateBus.h"

using namespace velkor;
using dbus::BusConnection;
using dbus::NameOwnerChanged;

namespace {

const std::string kService = "org.velkor.SettingsDaemon";

}  // namespace

TEST(BusConnectionTest, NameOwnershipIsSeenAndItsEndAnnouncedAndUsersAreKnown) {
    test::PrivateBus bus;
    EXPECT_THROW(BusConnection::open("unix:path=/nonexistent/velkor/bus"), dbus::BusError);
    auto watcher = BusConnection::open(bus.address());
    EXPECT_EQ(watcher.nameOwner(kService), std::nullopt);
    auto owner = std::make_unique<BusConnection>(BusConnection::open(bus.address()));
    EXPECT_TRUE(owner->requestName(kService));
    EXPECT_TRUE(owner->requestName(kService));  // already ours
    auto second = BusConnection::open(bus.address());
    EXPECT_FALSE(second.requestName(kService));
    std::string ownerName = owner->uniqueName();
    EXPECT_EQ(watcher.nameOwner(kService), ownerName);
    EXPECT_EQ(second.uidOf(ownerName), geteuid());

    test::BlockingQueue<NameOwnerChanged> changes;
    dbus::BusLoop loop(std::move(watcher));
    auto match = loop.withBus(
        [](BusConnection& b) { return b.addMatch(NameOwnerChanged::matchRule(kService)); });
    loop.start(
        [&](const dbus::Message& m) {
            if (auto change = NameOwnerChanged::parse(m))
                changes.push(*change);
        },
        [] {});
    owner.reset();
    auto change = changes.next();
    ASSERT_TRUE(change.has_value());
    EXPECT_EQ(change->oldOwner, ownerName);
    EXPECT_EQ(change->newOwner, "");
    EXPECT_EQ(second.uidOf(ownerName), std::nullopt);
    loop.withBus([&](BusConnection&) { match = dbus::Slot(); });
}
