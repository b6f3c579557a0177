#include <gtest/gtest.h>

#include "connection/ConnectionImpl.h"
#include "connection/ServiceRegistration.h"
#include "support/ErrorOf.h"
#include "support/FakeDaemon.h"
#include "support/LogCapture.h"
#include "velkor/BKProductDefines.h"
#include "velkor/Connect.h"
#include "velkor/VKConnectionFactory.h"
#include "velkor/VKConnectionMonitor.h"
#include "velkor/VKDictionary.h"
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

TEST(FrontDoor, OptionsReachTheSameFactoriesAndBadOnesAreRefusedUpFront) {
    test::LogCapture capture;
    // The registrations that connect() makes, with the transport replaced as above.
    di::Container container;
    ServiceSettings settings;
    settings.requestTimeout = std::chrono::milliseconds(250);
    registerConnectionServices(container, settings);
    container.registerFactory<ConnectionToServer>(
        [](const di::Resolver&) { return test::FakeDaemon::make(); });
    auto tuned = std::dynamic_pointer_cast<ConnectionImpl>(container.resolve<VKConnection>());
    ASSERT_NE(tuned, nullptr);
    EXPECT_EQ(tuned->requestTimeout(), std::chrono::milliseconds(250));
    Registered plain;
    auto standard =
        std::dynamic_pointer_cast<ConnectionImpl>(plain.container.resolve<VKConnection>());
    ASSERT_NE(standard, nullptr);
    EXPECT_EQ(standard->requestTimeout(), std::chrono::seconds(5));

    for (auto bad : {ConnectionOptions{.serviceName = ""},
                     ConnectionOptions{.requestTimeout = std::chrono::milliseconds(0)},
                     ConnectionOptions{.requestTimeout = std::chrono::hours(25)}}) {
        EXPECT_EQ(test::errorOf([&] { (void)connect(bad); }), VKError::invalidData);
        EXPECT_EQ(test::errorOf([&] { (void)makeMonitor(bad); }), VKError::invalidData);
    }
    EXPECT_EQ(capture->count(LogLevel::error, ""), 0u) << "argument checks log nothing";
}

TEST(FrontDoor, AnUnreachableDaemonIsAClearErrorForConnectButNotForAMonitor) {
    test::LogCapture capture;
    ConnectionOptions options;
    options.busAddress = "unix:path=/nonexistent/velkor-front-door-test";
    EXPECT_EQ(test::errorOf([&] { (void)connect(options); }), VKError::cannotConnect);
    EXPECT_EQ(capture->count(LogLevel::error,
                             "Can't connect to settings daemon 'org.velkor.SettingsDaemon' on "
                             "unix:path=/nonexistent/velkor-front-door-test"),
              1u);

    // A monitor waits for the daemon instead, and keeps its services alive while it is held.
    auto monitor = makeMonitor(options);
    ASSERT_NE(monitor, nullptr);
    EXPECT_FALSE(monitor->isDisposed());
    monitor->dispose();
}

namespace {

// Records what the integer form of bootstrapSettings receives.
class RecordingMonitor final : public VKConnectionMonitor {
  public:
    using VKConnectionMonitor::bootstrapSettings;
    rx::Observable<std::shared_ptr<VKConnection>> observableConnection() const override {
        return rx::Observable<std::shared_ptr<VKConnection>>::create(
            [](auto) { return rx::Disposables::create(); });
    }
    void bootstrapSettings(const std::shared_ptr<VKContainer>&, const std::string&, VKOwnership,
                           std::int64_t maxAttempts, std::uint32_t delay) override {
        calls.emplace_back(maxAttempts, delay);
    }
    void dispose() override {}
    bool isDisposed() const override { return false; }
    std::vector<std::pair<std::int64_t, std::uint32_t>> calls;
};

}  // namespace

TEST(FrontDoor, BootstrapTakesItsDelayAsADuration) {
    using namespace std::chrono_literals;
    RecordingMonitor monitor;
    auto root = VKDictionary::make();
    monitor.bootstrapSettings(root, "d", VKOwnership::realUser(), 5, 250ms);
    monitor.bootstrapSettings(root, "d", VKOwnership::realUser(), 2, -1s);
    monitor.bootstrapSettings(root, "d", VKOwnership::realUser(), 2, 100h);
    monitor.bootstrapSettings(root, "d");
    EXPECT_EQ(monitor.calls, (std::vector<std::pair<std::int64_t, std::uint32_t>>{
                                 {5, 250000}, {2, 0}, {2, 4294967295u}, {3, 100000}}));
}
