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

const std::string kService = "org.velkor.FactoryTest";

std::size_t lines(test::LogCapture& logs, LogLevel level, const std::string& message) {
    std::size_t n = 0;
    for (const auto& line : logs->lines()) {
        if (line.logger == "Velkor.ServerXpcChannel" && line.level == level &&
            line.message == message)
            ++n;
    }
    return n;
}

TEST(XpcChannelToServerFactoryTest, WithoutTheDaemonsNameNoTransportIsBuilt) {
    test::LogCapture logs;
    di::Container container;
    XpcChannelToServerFactory::registerWith(container);
    const std::string refusal =
        "Can't create XPC channel to server: no BKProductDefines with the daemon's service name "
        "is registered.";

    EXPECT_EQ(container.resolve<ConnectionToServer>(), nullptr);
    // Registered, but without the daemon's entry.
    container.registerFactory<BKProductDefines>([](const di::Resolver&) {
        return std::make_shared<BKProductDefines>(std::map<int, std::string>{{1, "other"}});
    });
    EXPECT_EQ(container.resolve<ConnectionToServer>(), nullptr);

    EXPECT_EQ(lines(logs, LogLevel::error, refusal), 2u);
    EXPECT_EQ(lines(logs, LogLevel::debug, "Creating XPC channel to server..."), 0u);
}

TEST(XpcChannelToServerFactoryTest, EachResolutionBuildsItsOwnTransportToTheNamedDaemon) {
    test::PrivateBus bus;
    test::SystemBusAddress systemBus(bus.address());
    test::FakeBusDaemon daemon(bus.address(), kService);
    test::LogCapture logs;
    di::Container container;
    container.registerFactory<BKProductDefines>([](const di::Resolver&) {
        return std::make_shared<BKProductDefines>(
            std::map<int, std::string>{{BKProductDefines::kDaemonServiceName, kService}});
    });
    XpcChannelToServerFactory::registerWith(container);

    auto first = container.resolve<ConnectionToServer>();
    auto second = container.resolve<ConnectionToServer>();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first, second);
    EXPECT_NE(first->virtualChannel(), second->virtualChannel());
    EXPECT_EQ(lines(logs, LogLevel::debug, "Creating XPC channel to server..."), 2u);

    first->virtualChannel()->onNext({UUID::random(), ClientRequest::DeleteSettings{"a", 1}});
    second->virtualChannel()->onNext({UUID::random(), ClientRequest::DeleteSettings{"b", 1}});
    auto one = daemon.nextRequest();
    auto two = daemon.nextRequest();
    ASSERT_TRUE(one && two);
    EXPECT_NE(one->sender, two->sender);  // one bus connection each
}

}  // namespace
