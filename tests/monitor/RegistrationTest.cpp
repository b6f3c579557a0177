#include <gtest/gtest.h>

#include "connection/ConnectionImpl.h"
#include "support/FakeDaemon.h"
#include "support/LogCapture.h"
#include "velkor/BKProductDefines.h"
#include "velkor/VKConnectionFactory.h"
#include "velkor/VKConnectionMonitor.h"
#include "velkor/rx/ConcurrentDispatchQueueScheduler.h"
#include "velkor/rx/ImmediateScheduler.h"

using namespace velkor;

namespace {

// The library's registrations, with the transport replaced by FakeDaemons (one per resolution)
// so that no bus is needed.
struct Registered {
    explicit Registered(rx::SchedulerPtr scheduler = nullptr) {
        container.registerFactory<BKProductDefines>(
            [](const di::Resolver&) { return std::make_shared<BKProductDefines>(); });
        VKConnectionFactory::registerWith(container, std::move(scheduler));
        container.registerFactory<ConnectionToServer>([this](const di::Resolver&) {
            auto daemon = test::FakeDaemon::make();
            transports.push_back(daemon);
            return daemon;
        });
    }
    di::Container container;
    std::vector<std::shared_ptr<test::FakeDaemon>> transports;
};

}  // namespace

TEST(Registration, EveryResolvedConnectionHasItsOwnTransportAndQueue) {
    test::LogCapture capture;
    Registered r;
    auto a = std::dynamic_pointer_cast<ConnectionImpl>(r.container.resolve<VKConnection>());
    auto b = std::dynamic_pointer_cast<ConnectionImpl>(r.container.resolve<VKConnection>());
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(r.transports.size(), 2u);
    EXPECT_EQ(capture->count(LogLevel::debug, "Creating Settings connection..."), 2u);
    auto qa = std::dynamic_pointer_cast<rx::ConcurrentDispatchQueueScheduler>(a->scheduler());
    auto qb = std::dynamic_pointer_cast<rx::ConcurrentDispatchQueueScheduler>(b->scheduler());
    ASSERT_TRUE(qa && qb);
    EXPECT_NE(qa, qb);

    auto given = std::make_shared<rx::ImmediateScheduler>();
    Registered shared(given);
    auto c = std::dynamic_pointer_cast<ConnectionImpl>(shared.container.resolve<VKConnection>());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->scheduler(), given);
}

TEST(Registration, TheMonitorPublishesAResolvedConnection) {
    test::LogCapture capture;
    Registered r;
    auto monitor = r.container.resolve<VKConnectionMonitor>();
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(capture->count(LogLevel::debug, "Creating Settings Connection monitor..."), 1u);
    std::shared_ptr<VKConnection> current;
    auto s = monitor->observableConnection().subscribe([&](const auto& c) { current = c; });
    EXPECT_NE(current, nullptr);
    s->dispose();
    monitor->dispose();
}

TEST(Registration, WithoutProductDefinesNothingIsBuiltAndNothingCrashes) {
    test::LogCapture capture;
    di::Container container;
    VKConnectionFactory::registerWith(container);
    EXPECT_EQ(container.resolve<ConnectionToServer>(), nullptr);
    EXPECT_EQ(container.resolve<VKConnection>(), nullptr);
    EXPECT_EQ(container.resolve<VKConnectionMonitor>(), nullptr);
    EXPECT_GE(capture->count(LogLevel::error, "BKProductDefines"), 2u);
}
