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
using test::errorOf;

namespace {

// The library's registrations, with the transport replaced by FakeDaemons (one per resolution)
// so that no bus is needed.
struct Registered {
    explicit Registered(rx::SchedulerPtr scheduler = nullptr) {
        container.registerFactory<BKProductDefines>(
            [](const di::Resolver&) { return std::make_shared<BKProductDefines>(); });
        VKConnectionFactory::registerWith(container, std::move(scheduler));
        container.registerFactory<ConnectionToServer>([this](const di::Resolver&) {
            return transports.emplace_back(test::FakeDaemon::make());
        });
    }
    std::shared_ptr<ConnectionImpl> connection() {
        return std::dynamic_pointer_cast<ConnectionImpl>(container.resolve<VKConnection>());
    }
    di::Container container;
    std::vector<std::shared_ptr<test::FakeDaemon>> transports;
};

}  // namespace

TEST(Registration, EachConnectionHasItsOwnTransportAndQueueAndTheMonitorPublishesOne) {
    test::LogCapture capture;
    Registered r;
    auto a = r.connection();
    auto b = r.connection();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(r.transports.size(), 2u);
    auto qa = std::dynamic_pointer_cast<rx::ConcurrentDispatchQueueScheduler>(a->scheduler());
    ASSERT_TRUE(qa);
    EXPECT_NE(qa, b->scheduler());
    EXPECT_EQ(a->requestTimeout(), std::chrono::seconds(5));
    auto given = std::make_shared<rx::ImmediateScheduler>();
    EXPECT_EQ(Registered(given).connection()->scheduler(), given);

    auto monitor = r.container.resolve<VKConnectionMonitor>();
    ASSERT_NE(monitor, nullptr);
    std::shared_ptr<VKConnection> current;
    monitor->observableConnection().subscribe([&](const auto& c) { current = c; })->dispose();
    EXPECT_NE(current, nullptr);
    monitor->dispose();

    // Without the daemon's name nothing is built, and nothing crashes.
    di::Container bare;
    VKConnectionFactory::registerWith(bare);
    EXPECT_EQ(bare.resolve<ConnectionToServer>(), nullptr);
    EXPECT_EQ(bare.resolve<VKConnection>(), nullptr);
    EXPECT_EQ(bare.resolve<VKConnectionMonitor>(), nullptr);
}

TEST(FrontDoor, OptionsReachTheFactoriesAndBadOnesAreRefusedUpFront) {
    test::LogCapture capture;
    di::Container container;
    ServiceSettings settings;
    settings.requestTimeout = std::chrono::milliseconds(250);
    registerConnectionServices(container, settings);
    container.registerFactory<ConnectionToServer>(
        [](const di::Resolver&) { return test::FakeDaemon::make(); });
    auto tuned = std::dynamic_pointer_cast<ConnectionImpl>(container.resolve<VKConnection>());
    ASSERT_NE(tuned, nullptr);
    EXPECT_EQ(tuned->requestTimeout(), std::chrono::milliseconds(250));

    for (auto bad : {ConnectionOptions{.serviceName = ""},
                     ConnectionOptions{.requestTimeout = std::chrono::milliseconds(0)},
                     ConnectionOptions{.requestTimeout = std::chrono::hours(25)}}) {
        EXPECT_EQ(errorOf([&] { (void)connect(bad); }), VKError::invalidData);
        EXPECT_EQ(errorOf([&] { (void)makeMonitor(bad); }), VKError::invalidData);
    }
    // An unreachable daemon is a clear error for connect; a monitor waits for it instead.
    ConnectionOptions options;
    options.busAddress = "unix:path=/nonexistent/velkor-front-door-test";
    EXPECT_EQ(errorOf([&] { (void)connect(options); }), VKError::cannotConnect);
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
