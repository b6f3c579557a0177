#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "monitor/ConnectionMonitorImpl.h"
#include "monitor/DaemonOnlineCenter.h"
#include "support/ErrorOf.h"
#include "support/LogCapture.h"
#include "velkor/BKProductDefines.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKError.h"
#include "velkor/rx/ConcurrentDispatchQueueScheduler.h"
#include "velkor/rx/PublishSubject.h"
#include "velkor/testing/VirtualTimeScheduler.h"

using namespace velkor;
using namespace std::chrono_literals;
using velkor::test::errorOf;

namespace {

/// A connection whose loss the test triggers, and whose openings fail as scripted.
class FakeConnection final : public VKConnection {
  public:
    rx::Observable<rx::Unit> asObservable() override { return lost.asObservable(); }
    void createSettings(const std::shared_ptr<VKContainer>&, const std::string&,
                        VKOwnership) override {}
    OpenResult openOrCreateSettings(const std::shared_ptr<VKContainer>&, const std::string&,
                                    VKOwnership) override {
        ++opens;
        if (openError)
            throw *openError;
        if (throwsForeignError)
            throw 42;
        return {nullptr, true};
    }
    VKObjectPtr getSetting(const std::string&, const std::string&, bool, VKOwnership) override {
        return nullptr;
    }
    void deleteSettings(const std::string&, VKOwnership) override { ++deletes; }
    void dispose() override { disposed = true; }
    bool isDisposed() const override { return disposed; }

    /// The connection to the daemon ends.
    void lose() {
        completed = true;
        lost.onCompleted();
    }

    rx::PublishSubject<rx::Unit> lost;
    std::atomic<bool> completed{false};
    std::optional<VKError> openError;
    bool throwsForeignError = false;
    std::atomic<int> opens{0};
    std::atomic<int> deletes{0};
    std::atomic<bool> disposed{false};
};

class FakeOnlineCenter final : public DaemonOnlineCenter {
  public:
    rx::DisposablePtr addObserver(const std::string& name,
                                  std::function<void()> callback) override {
        std::lock_guard lock(mutex);
        observedName = name;
        this->callback = callback;
        return rx::Disposables::create([this] {
            std::lock_guard lock(mutex);
            this->callback = nullptr;
        });
    }
    void announce() {
        std::function<void()> cb;
        {
            std::lock_guard lock(mutex);
            cb = callback;
        }
        if (cb)
            cb();
    }
    std::mutex mutex;
    std::string observedName;
    std::function<void()> callback;
};

struct MonitorFixture : ::testing::Test {
    MonitorFixture() {
        container.registerFactory<BKProductDefines>(
            [](const di::Resolver&) { return std::make_shared<BKProductDefines>(); });
        container.registerFactory<DaemonOnlineCenter>(
            [this](const di::Resolver&) { return center; });
        container.registerFactory<VKConnection>(
            [this](const di::Resolver&) -> std::shared_ptr<VKConnection> {
                if (!connectionsAvailable)
                    return nullptr;
                auto c = std::make_shared<FakeConnection>();
                built.push_back(c);
                return c;
            });
    }

    std::shared_ptr<ConnectionMonitorImpl> makeMonitor() {
        auto monitor = ConnectionMonitorImpl::make(container.synchronize(), scheduler);
        subscription = monitor->observableConnection().subscribe(
            [this](const std::shared_ptr<VKConnection>& c) { published.push_back(c); });
        return monitor;
    }

    test::LogCapture capture;
    di::Container container;
    std::shared_ptr<rx::VirtualTimeScheduler> scheduler =
        std::make_shared<rx::VirtualTimeScheduler>();
    std::shared_ptr<FakeOnlineCenter> center = std::make_shared<FakeOnlineCenter>();
    bool connectionsAvailable = true;
    std::vector<std::shared_ptr<FakeConnection>> built;
    std::vector<std::shared_ptr<VKConnection>> published;
    rx::DisposablePtr subscription;
};

}  // namespace

TEST_F(MonitorFixture, ReplacesACompletedConnectionTenSecondsLaterAndNotBefore) {
    auto monitor = makeMonitor();
    ASSERT_EQ(built.size(), 1u);
    EXPECT_EQ(center->observedName, "org.velkor.SettingsDaemon");
    EXPECT_EQ(published, (std::vector<std::shared_ptr<VKConnection>>{built[0]}));

    built[0]->lost.onCompleted();
    scheduler->advanceBy(0s);  // completion is observed on the scheduler
    EXPECT_EQ(published.back(), nullptr);
    scheduler->advanceBy(9999ms);
    EXPECT_EQ(built.size(), 1u) << "re-created before 10 seconds";
    scheduler->advanceBy(1ms);
    ASSERT_EQ(built.size(), 2u);
    EXPECT_EQ(published.back(), built[1]);
    EXPECT_FALSE(built[0]->disposed) << "a completed connection is released, not disposed";

    // A new subscriber gets the current connection first.
    std::vector<std::shared_ptr<VKConnection>> late;
    auto lateSubscription =
        monitor->observableConnection().subscribe([&](const auto& c) { late.push_back(c); });
    EXPECT_EQ(late, (std::vector<std::shared_ptr<VKConnection>>{built[1]}));
    lateSubscription->dispose();
}

TEST_F(MonitorFixture, AnnouncementCancelsAPendingRecreationAndRecreatesAtOnce) {
    auto monitor = makeMonitor();
    built[0]->lost.onCompleted();
    scheduler->advanceBy(3s);
    center->announce();
    scheduler->advanceBy(0s);
    ASSERT_EQ(built.size(), 2u);
    EXPECT_EQ(published.back(), built[1]);
    scheduler->advanceBy(60s);
    EXPECT_EQ(built.size(), 2u) << "the cancelled delayed re-creation must not run";
    EXPECT_EQ(
        capture->count(LogLevel::info, "Got notification from settings daemon being back online."),
        1u);
}

TEST_F(MonitorFixture, AnnouncementWhileConnectedReplacesTheConnectionOnce) {
    auto monitor = makeMonitor();
    // Observers run without the monitor's lock: one that waits for another thread using the
    // monitor does not stall it.
    std::future<bool> otherThread;
    std::optional<std::future_status> otherThreadStatus;
    auto observer = monitor->observableConnection().subscribe([&](const auto& connection) {
        if (connection && connection != built[0]) {
            otherThread = std::async(std::launch::async, [&] { return monitor->isDisposed(); });
            otherThreadStatus = otherThread.wait_for(30s);
        }
    });
    center->announce();
    scheduler->advanceBy(0s);
    ASSERT_EQ(built.size(), 2u);
    EXPECT_TRUE(built[0]->disposed);
    EXPECT_EQ(published.back(), built[1]);
    EXPECT_EQ(otherThreadStatus, std::future_status::ready);
    EXPECT_FALSE(otherThread.get());
    observer->dispose();

    built[0]->lost.onCompleted();  // the old connection's end is no longer watched
    scheduler->advanceBy(30s);
    EXPECT_EQ(built.size(), 2u);
    EXPECT_EQ(published.back(), built[1]);

    // No new connection: the disposed one is not left published, and another try follows.
    connectionsAvailable = false;
    center->announce();
    scheduler->advanceBy(0s);
    EXPECT_TRUE(built[1]->disposed);
    EXPECT_EQ(published.back(), nullptr);
    connectionsAvailable = true;
    scheduler->advanceBy(10s);
    ASSERT_EQ(built.size(), 3u);
    EXPECT_EQ(published.back(), built[2]);
}

TEST_F(MonitorFixture, OnlyACompletedConnectionIsUnpublishedWhileAnnouncementsRace) {
    // Completions and re-creations on a pool: a completion handled late must not unpublish the
    // connection made after it.
    auto pool = std::make_shared<rx::ConcurrentDispatchQueueScheduler>("ConnectionMonitorImpl");
    auto monitor = ConnectionMonitorImpl::make(container.synchronize(), pool);
    std::mutex mutex;
    std::shared_ptr<FakeConnection> last;
    int healthyUnpublished = 0;
    auto observer = monitor->observableConnection().subscribe([&](const auto& connection) {
        std::lock_guard lock(mutex);
        if (!connection && last && !last->completed)
            ++healthyUnpublished;
        last = std::static_pointer_cast<FakeConnection>(connection);
    });
    std::thread announcer([&] {
        for (int i = 0; i < 5000; ++i) {
            center->announce();
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 20000; ++i) {
        std::shared_ptr<FakeConnection> connection;
        {
            std::lock_guard lock(mutex);
            connection = last;
        }
        if (connection)
            connection->lose();
        std::this_thread::yield();
    }
    announcer.join();
    observer->dispose();
    monitor->dispose();
    EXPECT_EQ(healthyUnpublished, 0);
}

TEST_F(MonitorFixture, DisposeWaitsForARecreationInProgressOnAnotherThread) {
    auto monitor = makeMonitor();
    std::promise<void> entered, release;
    auto released = release.get_future().share();
    std::atomic<bool> factoryReturned{false};
    container.registerFactory<VKConnection>(
        [&](const di::Resolver&) -> std::shared_ptr<VKConnection> {
            entered.set_value();
            released.wait();
            factoryReturned = true;
            return std::make_shared<FakeConnection>();
        });
    center->announce();
    std::thread recreator([&] { scheduler->advanceBy(0s); });
    entered.get_future().wait();
    auto disposed = std::async(std::launch::async, [&] {
        monitor->dispose();
        return factoryReturned.load();
    });
    std::this_thread::sleep_for(100ms);  // gives a dispose() that does not wait time to return
    release.set_value();
    EXPECT_TRUE(disposed.get()) << "dispose() returned while the resolver was still being called";
    recreator.join();
    EXPECT_EQ(published.back(), nullptr);
}

TEST_F(MonitorFixture, DisposeRemovesTheObserverPublishesEmptyAndStopsRecreation) {
    auto monitor = makeMonitor();
    center->announce();  // an announcement already on its way when the monitor is disposed
    monitor->dispose();
    EXPECT_EQ(
        capture->count(LogLevel::debug, "Removing 'settings daemon online' notification observer."),
        1u);
    EXPECT_EQ(published.back(), nullptr);
    EXPECT_FALSE(built[0]->disposed) << "dispose() leaves the connection to its holders";
    scheduler->advanceBy(30s);
    EXPECT_EQ(built.size(), 1u);
    EXPECT_EQ(published.back(), nullptr);
    monitor->dispose();
    EXPECT_EQ(capture->count("Removing 'settings daemon online' notification observer."), 1u);
}

TEST_F(MonitorFixture, BootstrapRetriesDeletesInvalidFilesAndThrowsTheLastError) {
    auto monitor = makeMonitor();
    built[0]->openError = VKError::invalidFileData;
    try {
        monitor->bootstrapSettings(VKDictionary::make(), "prefs");
        FAIL() << "expected invalidFileData";
    } catch (const VKError& e) {
        EXPECT_EQ(e, VKError::invalidFileData);
    }
    EXPECT_EQ(built[0]->opens.load(), 3);
    EXPECT_EQ(built[0]->deletes.load(), 3);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        EXPECT_EQ(capture->count(LogLevel::warning,
                                 "Can't open/create settings (attempt=" + std::to_string(attempt) +
                                     ") - will retry. Error: InvalidFileData"),
                  1u);
    }
    EXPECT_EQ(capture->count(LogLevel::error,
                             "Can't open/create settings at all. Last error: InvalidFileData"),
              1u);

    // Whatever an attempt throws, the next one follows.
    built[0]->openError.reset();
    built[0]->throwsForeignError = true;
    EXPECT_EQ(errorOf([&] {
                  monitor->bootstrapSettings(VKDictionary::make(), "prefs", VKOwnership::shared(),
                                             2, 0);
              }),
              VKError::serverError);
    EXPECT_EQ(built[0]->opens.load(), 5);
    EXPECT_EQ(capture->count(LogLevel::warning,
                             "Can't open/create settings (attempt=2) - will retry. Error: unknown "
                             "error"),
              1u);

    built[0]->throwsForeignError = false;
    monitor->bootstrapSettings(VKDictionary::make(), "prefs", VKOwnership::shared(), 5, 0);
    EXPECT_EQ(built[0]->opens.load(), 6) << "success returns at once";

    // Without a root there is nothing to create from: no attempt is made.
    EXPECT_EQ(errorOf([&] { monitor->bootstrapSettings(nullptr, "prefs"); }), VKError::invalidData);
    EXPECT_EQ(built[0]->opens.load(), 6);
}

TEST_F(MonitorFixture, BootstrapWithoutAnyConnectionThrowsConnectionLostQuietly) {
    connectionsAvailable = false;
    auto monitor = makeMonitor();
    EXPECT_EQ(published, (std::vector<std::shared_ptr<VKConnection>>{nullptr}));
    try {
        monitor->bootstrapSettings(VKDictionary::make(), "prefs", VKOwnership::realUser(), 0, 1000);
        FAIL() << "expected connectionLost";
    } catch (const VKError& e) {
        EXPECT_EQ(e, VKError::connectionLost);
    }
    EXPECT_EQ(capture->count("Can't open/create settings (attempt="), 0u);
    EXPECT_EQ(capture->count(LogLevel::error,
                             "Can't open/create settings at all. Last error: ConnectionLost"),
              1u);
}
