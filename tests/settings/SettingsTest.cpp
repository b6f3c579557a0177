#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "connection/ConnectionImpl.h"
#include "internals/ContainerAccess.h"
#include "monitor/FakeConnectionAndMonitor.h"
#include "support/ErrorOf.h"
#include "support/FakeDaemon.h"
#include "support/LogCapture.h"
#include "support/OnThreads.h"
#include "utils/OperationDeadline.h"
#include "velkor/Settings.h"
#include "velkor/VKScalars.h"
#include "velkor/testing/VirtualTimeScheduler.h"

using namespace velkor;
using namespace velkor::test;

namespace {

VKDictionaryPtr numbered(std::int64_t n) {
    return VKDictionary::make({{"n", std::make_shared<VKNumber>(n)}});
}

// A handle's monitor, and what the handle tells its observers.
struct SettingsHandle : ::testing::Test {
    Subscription watch(Settings& settings) {
        return settings.observe([this](const auto& e) { events.push_back(e); });
    }
    LogCapture logs;
    std::shared_ptr<FakeMonitor> monitor = std::make_shared<FakeMonitor>();
    std::vector<Settings::Event> events;
};

// Opening is refused only for the daemon's refusals; a daemon away is waited for. Later
// failures, of any kind, reach the observers, and the next connection opens the file again.
TEST_F(SettingsHandle, OpeningFailuresAreThrownFirstAndReportedLater) {
    monitor->publish(nullptr, VKError::fileDoesNotExist);
    EXPECT_EQ(errorOf([&] { (void)Settings::open(monitor, "app"); }), VKError::fileDoesNotExist);
    monitor->publish(nullptr, VKError::connectionLost);
    auto settings = Settings::open(monitor, "app");
    EXPECT_EQ(settings->current(), nullptr);

    Subscription watching = watch(*settings);
    monitor->publish(nullptr);  // fails with something else than a VKError
    auto root = numbered(1);
    monitor->publish(root);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(std::get<Settings::Lost>(events[0]).error, VKError(VKError::serverError));
    EXPECT_EQ(std::get<Settings::Reloaded>(events[1]).root, root);
    EXPECT_EQ(std::get<Settings::Reloaded>(events[1]).added, std::vector<std::string>{"n"})
        << "nothing was held before: every key is new";
    monitor->publish(root);  // the same content again: nothing changed
    const auto& same = std::get<Settings::Reloaded>(events.at(2));
    EXPECT_TRUE(same.added.empty() && same.removed.empty() && same.changed.empty());

    // Keys are compared by their canonical form: one key in two spellings is the same key.
    auto composed = numbered(1), decomposed = numbered(1);
    ASSERT_TRUE(composed->set("caf\u00e9", 1) && decomposed->set("cafe\u0301", 2));
    monitor->publish(composed);
    monitor->publish(decomposed);
    const auto& respelled = std::get<Settings::Reloaded>(events.at(4));
    EXPECT_TRUE(respelled.added.empty() && respelled.removed.empty());
    EXPECT_EQ(respelled.changed, std::vector<std::string>{"cafe\u0301"});
}

// Opened while the monitor replaces its connection (what it publishes is the old one, disposed
// already): open() returns with the file opened through the new connection, and nobody is told
// of a reload or a loss.
TEST_F(SettingsHandle, OpeningWhileTheMonitorReplacesItsConnectionWaitsForTheNewOne) {
    using namespace std::chrono_literals;
    auto old = std::make_shared<FakeConnection>(nullptr, VKError::connectionLost);
    old->dispose();
    monitor->connection.setValue(old);
    auto root = numbered(1);
    std::thread recreation([&] {
        std::this_thread::sleep_for(300ms);
        monitor->publish(root);
    });
    auto settings = Settings::open(monitor, "app");
    EXPECT_EQ(settings->current(), root);
    Subscription watching = watch(*settings);
    recreation.join();
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(settings->current(), root);

    // The opening through the old connection took most of the caller's time-out before that
    // connection was disposed: the wait for the new one gets only what is left, and the file
    // opens when it comes, reported as reloaded (and as nothing else).
    watching.dispose();
    settings.reset();
    auto slow = std::make_shared<FakeConnection>(nullptr, VKError::connectionLost);
    slow->whileOpening = [&] {
        std::this_thread::sleep_for(600ms);
        slow->dispose();
    };
    monitor->connection.setValue(slow);
    const auto started = std::chrono::steady_clock::now();
    {
        const OperationDeadline operation(1s);  // as Settings::open(options) opens it
        settings = Settings::open(monitor, "app");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms) << "one time-out (1 s)";
    EXPECT_EQ(settings->current(), nullptr);
    watching = watch(*settings);
    monitor->publish(root);
    ASSERT_EQ(events.size(), 1u) << "no loss told after the reload";
    EXPECT_EQ(std::get<Settings::Reloaded>(events[0]).root, root);
    slow->whileOpening = nullptr;  // it holds the connection
}

// A failed report of the root's observers ends the root's stream: the handle observes the root
// again rather than going deaf, and tells its observers nothing of it.
TEST_F(SettingsHandle, ObservesTheRootAgainAfterAFailedReport) {
    auto daemon = FakeDaemon::make();
    daemon->answerNext(ServerResponse::RequestHasFailed{VKError::connectionLost});  // as a time-out
    di::Container services;
    services.registerFactory<ConnectionToServer>([daemon](const di::Resolver&) { return daemon; });
    auto scheduler = std::make_shared<rx::VirtualTimeScheduler>();
    auto connection = ConnectionImpl::make(*services.synchronize(), scheduler);
    auto root = numbered(1);
    detail::ContainerAccess::setInnerConnection(*root, connection);
    monitor->publish(root);
    auto settings = Settings::open(monitor, "app");
    Subscription watching = watch(*settings);
    detail::ContainerAccess::postChangeNotification(*root, VKContainerChange::DidRemoveAll{},
                                                    *connection);
    scheduler->runAll();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(std::get<VKContainerChange>(events[0]).get<VKContainerChange::DidRemoveAll>());
    // The failed report is withdrawn before the root is observed again.
    const auto reports = daemon->requests();
    ASSERT_EQ(reports.size(), 3u);
    const auto* last = reports.back().payload.get<ClientRequest::SetHasSubscription>();
    EXPECT_TRUE(last && last->hasSubscription);
    connection->dispose();
    daemon->waitUntilIdle();
}

// Connections published from several threads while observers come and go and the handle is
// disposed; run under ThreadSanitizer. A last publication still reaches the observers.
TEST_F(SettingsHandle, PublicationsObserversAndDisposalRace) {
    for (int round = 0; round < 20; ++round) {
        monitor = std::make_shared<FakeMonitor>();
        auto settings = Settings::open(monitor, "app");
        std::atomic<int> heard{0};
        auto count = [&](const Settings::Event&) { ++heard; };
        Subscription kept = settings->observe(count);
        onThreads(3, [&](int t) {  // two publish, one observes for a moment and reads
            for (int i = 0; i < 30; ++i) {
                if (t == 2)
                    Subscription passing = settings->observe(count);
                else if ((i + t) % 3 == 0)
                    monitor->connection.setValue(nullptr);
                else
                    monitor->publish(numbered(i));
                (void)settings->current();
            }
        });

        auto last = numbered(-1);
        Settings::Event seen = Settings::Lost{};
        Subscription watching = settings->observe([&](const Settings::Event& e) { seen = e; });
        monitor->publish(last);
        EXPECT_EQ(settings->current(), last);
        ASSERT_TRUE(std::holds_alternative<Settings::Reloaded>(seen));
        EXPECT_EQ(std::get<Settings::Reloaded>(seen).root, last);

        std::thread publisher([&] { monitor->publish(last); });
        settings->dispose();
        publisher.join();
        EXPECT_EQ(settings->current(), nullptr);
        EXPECT_GT(heard.load(), 0);
        EXPECT_FALSE(kept.active() || watching.active()) << "disposal ends every subscription";
    }
}

}  // namespace
