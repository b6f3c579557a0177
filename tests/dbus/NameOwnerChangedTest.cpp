#include <gtest/gtest.h>

#include "OfflineBus.h"
#include "dbus/NameOwnerChanged.h"

using namespace velkor;
using dbus::NameOwnerChanged;

namespace {

const char* kBus = "org.freedesktop.DBus";

}  // namespace

// Any peer can broadcast a look-alike of the bus's announcement; it must not tear clients down.
TEST(NameOwnerChangedTest, OnlyTheBusDriversAnnouncementIsTaken) {
    test::OfflineBus offline;
    auto announcement = [&](const char* sender, const char* member, bool complete) {
        sd_bus_message* raw = nullptr;
        EXPECT_GE(sd_bus_message_new_signal(offline.bus().get(), &raw, "/org/freedesktop/DBus",
                                            kBus, member),
                  0);
        dbus::Message message(raw);
        sd_bus_message_set_sender(raw, sender);
        if (complete)
            sd_bus_message_append(raw, "sss", "org.velkor.SettingsDaemon", ":1.7", "");
        else
            sd_bus_message_append(raw, "ss", "org.velkor.SettingsDaemon", ":1.7");
        offline.seal(message);
        return NameOwnerChanged::parse(message);
    };
    auto change = announcement(kBus, "NameOwnerChanged", true);
    ASSERT_TRUE(change.has_value());
    EXPECT_EQ(change->name, "org.velkor.SettingsDaemon");
    EXPECT_EQ(change->oldOwner, ":1.7");
    EXPECT_EQ(change->newOwner, "");

    EXPECT_FALSE(announcement(":1.9", "NameOwnerChanged", true).has_value());
    EXPECT_FALSE(announcement(kBus, "NameLost", true).has_value());
    EXPECT_FALSE(announcement(kBus, "NameOwnerChanged", false).has_value());
}
