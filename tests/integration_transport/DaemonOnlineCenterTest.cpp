#include <gtest/gtest.h>

#include "connection/ServiceRegistration.h"
#include "monitor/DBusDaemonOnlineCenter.h"
#include "support/BlockingQueue.h"
#include "support/FakeBusDaemon.h"
#include "support/PrivateBus.h"

using namespace velkor;

namespace {

const std::string kName = "org.velkor.OnlineTest";

TEST(DaemonOnlineCenterTest, ObserversHearOfEachNewOwnerUntilDisposed) {
    test::PrivateBus bus;
    auto center = DBusDaemonOnlineCenter::make(bus.address());
    ASSERT_TRUE(center);
    test::BlockingQueue<int> first;
    test::BlockingQueue<int> second;
    test::BlockingQueue<int> unrelated;
    auto firstObserver = center->addObserver(kName, [&] { first.push(1); });
    auto unrelatedObserver =
        center->addObserver("org.velkor.Unrelated", [&] { unrelated.push(1); });
    center.reset();  // the observers keep it

    {
        test::FakeBusDaemon daemon(bus.address(), kName);
        EXPECT_TRUE(first.next());
    }  // losing the name is not "online"
    {
        test::FakeBusDaemon daemon(bus.address(), kName);
        EXPECT_TRUE(first.next());
    }

    firstObserver->dispose();
    firstObserver->dispose();
    auto secondObserver =
        DBusDaemonOnlineCenter::make(bus.address())->addObserver(kName, [&] { second.push(1); });
    {
        test::FakeBusDaemon daemon(bus.address(), kName);
        // The announcement that reached the second observer went to every observer of the name.
        EXPECT_TRUE(second.next());
    }
    EXPECT_EQ(first.size(), 0u);
    EXPECT_EQ(unrelated.size(), 0u);
    unrelatedObserver->dispose();
    secondObserver->dispose();
}

TEST(DaemonOnlineCenterTest, OnlyTheBusCanAnnounceADaemon) {
    test::PrivateBus bus;
    auto center = DBusDaemonOnlineCenter::make(bus.address());
    ASSERT_TRUE(center);
    test::BlockingQueue<int> calls;
    auto observer = center->addObserver(kName, [&] { calls.push(1); });

    // A peer forging the bus's announcement, addressed to everyone.
    auto forger = dbus::BusConnection::open(bus.address());
    sd_bus_message* raw = nullptr;
    ASSERT_GE(sd_bus_message_new_signal(forger.get(), &raw, "/org/freedesktop/DBus",
                                        "org.freedesktop.DBus", "NameOwnerChanged"),
              0);
    dbus::Message forged(raw);
    ASSERT_GE(sd_bus_message_append(raw, "sss", kName.c_str(), "", ":1.999"), 0);
    forger.send(forged);
    sd_bus_flush(forger.get());

    test::FakeBusDaemon daemon(bus.address(), kName);
    EXPECT_TRUE(calls.next());
    EXPECT_EQ(calls.size(), 0u);  // the forged one, sent first, was not taken
    observer->dispose();
}

TEST(DaemonOnlineCenterTest, NoBusGivesNoCentre) {
    EXPECT_EQ(DBusDaemonOnlineCenter::make("unix:path=/nonexistent/velkor/bus"), nullptr);
}

TEST(DaemonOnlineCenterTest, TheMonitorsRegistrationBringsACentreOnItsBus) {
    test::PrivateBus bus;
    di::Container container;
    ServiceSettings settings;
    settings.busAddress = bus.address();
    registerMonitorService(container, settings);
    auto center = container.resolve<DaemonOnlineCenter>();
    ASSERT_TRUE(center);
    EXPECT_NE(center, container.resolve<DaemonOnlineCenter>());
    test::BlockingQueue<int> announced;
    auto observer = center->addObserver(kName, [&] { announced.push(1); });
    test::FakeBusDaemon daemon(bus.address(), kName);
    EXPECT_TRUE(announced.next());
    observer->dispose();
}

}  // namespace
