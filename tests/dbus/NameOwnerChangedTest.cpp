#include <gtest/gtest.h>

#include "OfflineBus.h"
#include "dbus/NameOwnerChanged.h"

using namespace velkor;
using dbus::NameOwnerChanged;

namespace {

class NameOwnerChangedTest : public ::testing::Test {
  protected:
    dbus::Message announcement(const char* sender, const char* member, const char* signature,
                               const char* a, const char* b, const char* c) {
        sd_bus_message* raw = nullptr;
        EXPECT_GE(sd_bus_message_new_signal(offline.bus().get(), &raw, "/org/freedesktop/DBus",
                                            "org.freedesktop.DBus", member),
                  0);
        dbus::Message message(raw);
        EXPECT_GE(sd_bus_message_set_sender(raw, sender), 0);
        if (std::string(signature) == "sss")
            sd_bus_message_append(raw, "sss", a, b, c);
        else
            sd_bus_message_append(raw, "ss", a, b);
        offline.seal(message);
        return message;
    }

    test::OfflineBus offline;
};

}  // namespace

TEST_F(NameOwnerChangedTest, OnlyTheBusDriversAnnouncementIsTaken) {
    auto lost = announcement("org.freedesktop.DBus", "NameOwnerChanged", "sss",
                             "org.velkor.SettingsDaemon", ":1.7", "");
    auto change = NameOwnerChanged::parse(lost);
    ASSERT_TRUE(change.has_value());
    EXPECT_EQ(change->name, "org.velkor.SettingsDaemon");
    EXPECT_EQ(change->oldOwner, ":1.7");
    EXPECT_EQ(change->newOwner, "");

    // Any peer can broadcast a look-alike; it must not tear clients down.
    auto forged =
        announcement(":1.9", "NameOwnerChanged", "sss", "org.velkor.SettingsDaemon", ":1.7", "");
    EXPECT_FALSE(NameOwnerChanged::parse(forged).has_value());
    auto otherMember = announcement("org.freedesktop.DBus", "NameLost", "sss", "a", "b", "c");
    EXPECT_FALSE(NameOwnerChanged::parse(otherMember).has_value());
    auto shortArguments =
        announcement("org.freedesktop.DBus", "NameOwnerChanged", "ss", "a", ":1.7", nullptr);
    EXPECT_FALSE(NameOwnerChanged::parse(shortArguments).has_value());
}
