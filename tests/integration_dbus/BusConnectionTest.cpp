#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "dbus/BusError.h"
#include "dbus/BusLoop.h"
#include "dbus/NameOwnerChanged.h"
#include "support/BlockingQueue.h"
#include "support/PrivateBus.h"

using namespace velkor;
using dbus::BusConnection;
using dbus::BusLoop;
using dbus::Message;
using dbus::NameOwnerChanged;

namespace {

const std::string kService = "org.velkor.SettingsDaemon";

class BusConnectionTest : public ::testing::Test {
  protected:
    test::PrivateBus bus;
};

}  // namespace

TEST_F(BusConnectionTest, NameOwnershipIsSeenAndItsEndAnnouncedAndUsersAreKnown) {
    auto watcher = BusConnection::open(bus.address());
    EXPECT_EQ(watcher.nameOwner(kService), std::nullopt);

    auto owner = std::make_unique<BusConnection>(BusConnection::open(bus.address()));
    EXPECT_TRUE(owner->requestName(kService));
    EXPECT_TRUE(owner->requestName(kService));  // already ours
    auto second = BusConnection::open(bus.address());
    EXPECT_FALSE(second.requestName(kService));
    std::string ownerName = owner->uniqueName();
    EXPECT_EQ(watcher.nameOwner(kService), ownerName);

    test::BlockingQueue<NameOwnerChanged> changes;
    BusLoop loop(std::move(watcher));
    auto match = loop.withBus(
        [](BusConnection& b) { return b.addMatch(NameOwnerChanged::matchRule(kService)); });
    loop.start(
        [&](const Message& m) {
            if (auto change = NameOwnerChanged::parse(m))
                changes.push(*change);
        },
        [] {});

    owner.reset();
    auto change = changes.next();
    ASSERT_TRUE(change.has_value());
    EXPECT_EQ(change->name, kService);
    EXPECT_EQ(change->oldOwner, ownerName);
    EXPECT_EQ(change->newOwner, "");
    EXPECT_EQ(loop.withBus([](BusConnection& b) { return b.nameOwner(kService); }), std::nullopt);
    loop.withBus([&](BusConnection&) { match = dbus::Slot(); });

    // The user of a connection is the bus's record of it; a gone connection has none.
    EXPECT_EQ(second.uidOf(ownerName), std::nullopt);
    EXPECT_EQ(second.uidOf(second.uniqueName()), geteuid());
}

TEST_F(BusConnectionTest, ActivatableNamesComeFromTheBussServiceFiles) {
    auto services =
        std::filesystem::temp_directory_path() / ("velkor-services-" + std::to_string(getpid()));
    std::filesystem::create_directories(services);
    std::ofstream(services / "org.velkor.Activatable.service")
        << "[D-BUS Service]\nName=org.velkor.Activatable\nExec=/bin/false\n";
    {
        test::PrivateBus activating(services.string());
        auto c = BusConnection::open(activating.address());
        EXPECT_TRUE(c.isActivatable("org.velkor.Activatable"));
        EXPECT_FALSE(c.isActivatable(kService));
        EXPECT_EQ(c.nameOwner("org.velkor.Activatable"), std::nullopt);
    }
    std::filesystem::remove_all(services);
    EXPECT_FALSE(BusConnection::open(bus.address()).isActivatable("org.velkor.Activatable"));
}

TEST_F(BusConnectionTest, TheSystemBusAddressIsTakenFromTheEnvironment) {
    const char* saved = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    std::string previous = saved ? saved : "";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
    auto viaEnvironment = BusConnection::open();
    auto direct = BusConnection::open(bus.address());
    EXPECT_TRUE(viaEnvironment.requestName(kService));
    EXPECT_EQ(direct.nameOwner(kService), viaEnvironment.uniqueName());

    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velkor/bus", 1);
    EXPECT_THROW(BusConnection::open(), dbus::BusError);
    EXPECT_THROW(BusConnection::open("unix:path=/nonexistent/velkor/bus"), dbus::BusError);
    if (saved)
        setenv("DBUS_SYSTEM_BUS_ADDRESS", previous.c_str(), 1);
    else
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}
