#include <gtest/gtest.h>

#include "channel/ConnectionToServer.h"
#include "channel/XpcChannelToServerFactory.h"
#include "support/FakeBusDaemon.h"
#include "support/LogCapture.h"
#include "support/PrivateBus.h"
#include "support/SystemBusAddress.h"
#include "velkor/BKProductDefines.h"

using namespace velkor;

namespace {

void registerDefines(di::Container& container, std::map<int, std::string> entries) {
    container.registerFactory<BKProductDefines>(
        [entries](const di::Resolver&) { return std::make_shared<BKProductDefines>(entries); });
}

}  // namespace

TEST(XpcChannelToServerFactoryTest, WithoutTheDaemonsNameNoTransportIsBuilt) {
    test::LogCapture logs;
    di::Container container;
    XpcChannelToServerFactory::registerWith(container);
    EXPECT_EQ(container.resolve<ConnectionToServer>(), nullptr);
    registerDefines(container, {{1, "other"}});
    EXPECT_EQ(container.resolve<ConnectionToServer>(), nullptr);
    EXPECT_EQ(logs->count(LogLevel::error,
                          "Can't create XPC channel to server: no BKProductDefines with the "
                          "daemon's service name is registered."),
              2u);
}

TEST(XpcChannelToServerFactoryTest, EachResolutionBuildsItsOwnTransportToTheNamedDaemon) {
    const std::string service = "org.velkor.FactoryTest";
    test::PrivateBus bus;
    test::SystemBusAddress systemBus(bus.address());
    test::FakeBusDaemon daemon(bus.address(), service);
    di::Container container;
    registerDefines(container, {{BKProductDefines::kDaemonServiceName, service}});
    XpcChannelToServerFactory::registerWith(container);

    auto first = container.resolve<ConnectionToServer>();
    auto second = container.resolve<ConnectionToServer>();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->virtualChannel(), second->virtualChannel());
    first->virtualChannel()->onNext({UUID::random(), ClientRequest::DeleteSettings{"a", 1}});
    second->virtualChannel()->onNext({UUID::random(), ClientRequest::DeleteSettings{"b", 1}});
    auto one = daemon.nextRequest();
    auto two = daemon.nextRequest();
    ASSERT_TRUE(one && two);
    EXPECT_NE(one->sender, two->sender);  // one bus connection each
}
