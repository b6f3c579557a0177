#include <gtest/gtest.h>

#include "monitor/DBusDaemonOnlineCenter.h"
#include "support/BlockingQueue.h"
#include "support/FakeBusDaemon.h"
#include "support/PrivateBus.h"

using namespace velkor;

namespace {

const std::string kName = "org.velkor.OnlineTest";

}  // namespace

// Each new owner of the name is announced to its
// observers until they are disposed; a peer forging the bus's announcement is not taken.
TEST(DaemonOnlineCenterTest, ObserversHearOfEachNewOwnerOnlyFromTheBus) {
    test::PrivateBus bus;
    auto center = DBusDaemonOnlineCenter::make(bus.address());
    ASSERT_TRUE(center);
    test::BlockingQueue<int> first, second, unrelated;
    auto firstObserver = center->addObserver(kName, [&] { first.push(1); });
    auto unrelatedObserver = center->addObserver("org.velkor.Other", [&] { unrelated.push(1); });
    center.reset();  // the observers keep it

    auto forger = dbus::BusConnection::open(bus.address());
    sd_bus_message* raw = nullptr;
    ASSERT_GE(sd_bus_message_new_signal(forger.get(), &raw, "/org/freedesktop/DBus",
                                        "org.freedesktop.DBus", "NameOwnerChanged"),
              0);
    dbus::Message forged(raw);
    ASSERT_GE(sd_bus_message_append(raw, "sss", kName.c_str(), "", ":1.999"), 0);
    forger.send(forged);
    sd_bus_flush(forger.get());
    for (int owner = 0; owner < 2; ++owner) {
        test::FakeBusDaemon daemon(bus.address(), kName);
        EXPECT_TRUE(first.next());
    }  // losing the name is not "online"
    EXPECT_EQ(first.size(), 0u) << "the forged announcement, sent first, was taken";

    firstObserver->dispose();
    firstObserver->dispose();
    auto secondObserver =
        DBusDaemonOnlineCenter::make(bus.address())->addObserver(kName, [&] { second.push(1); });
    {
        test::FakeBusDaemon daemon(bus.address(), kName);
        EXPECT_TRUE(second.next());
    }
    EXPECT_EQ(first.size(), 0u);
    EXPECT_EQ(unrelated.size(), 0u);
    unrelatedObserver->dispose();
    secondObserver->dispose();
    EXPECT_EQ(DBusDaemonOnlineCenter::make("unix:path=/nonexistent/velkor/bus"), nullptr);
}
