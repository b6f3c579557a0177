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
    std::atomic<bool> completed{false}, disposed{false};
    std::optional<VKError> openError;
    bool throwsForeignError = false;
    std::atomic<int> opens{0}, deletes{0};
};

/// Announces the daemon when the test says so.
class FakeOnlineCenter final : public DaemonOnlineCenter {
  public:
    rx::DisposablePtr addObserver(const std::string& name, std::function<void()> cb) override {
        std::lock_guard lock(mutex);
        observedName = name;
        callback = cb;
        return rx::Disposables::create([this] {
            std::lock_guard lock(mutex);
            callback = nullptr;
        });
    }
    bool observed() {
        std::lock_guard lock(mutex);
        return callback != nullptr;
    }
    void announce() {
        std::unique_lock lock(mutex);
        auto cb = callback;
        lock.unlock();
        if (cb)
            cb();
    }
    std::mutex mutex;
    std::string observedName;
    std::function<void()> callback;
};

struct MonitorTest : ::testing::Test {
    MonitorTest() {
        container.registerFactory<BKProductDefines>(
            [](const di::Resolver&) { return std::make_shared<BKProductDefines>(); });
        container.registerFactory<DaemonOnlineCenter>(
            [this](const di::Resolver&) { return center; });
        container.registerFactory<VKConnection>(
            [this](const di::Resolver&) -> std::shared_ptr<VKConnection> {
                if (!connectionsAvailable)
                    return nullptr;
                return built.emplace_back(std::make_shared<FakeConnection>());
            });
    }

    std::shared_ptr<ConnectionMonitorImpl> makeMonitor() {
        auto monitor = ConnectionMonitorImpl::make(container.synchronize(), scheduler);
        subscription = monitor->observableConnection().subscribe(
            [this](const std::shared_ptr<VKConnection>& c) { published.push_back(c); });
        return monitor;
    }
    /// Lets the monitor's jobs run, and the clock move by `by`.
    void advance(std::chrono::milliseconds by = 0ms) { scheduler->advanceBy(by); }

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

TEST_F(MonitorTest, ALostConnectionIsReplacedTenSecondsLaterOrAtOnceWhenTheDaemonIsBack) {
    auto monitor = makeMonitor();
    ASSERT_EQ(built.size(), 1u);
    EXPECT_EQ(center->observedName, "org.velkor.SettingsDaemon");
    EXPECT_EQ(published, (std::vector<std::shared_ptr<VKConnection>>{built[0]}));

    built[0]->lose();
    advance();
    EXPECT_EQ(published.back(), nullptr);
    advance(9999ms);
    EXPECT_EQ(built.size(), 1u) << "re-created before 10 seconds";
    advance(1ms);
    ASSERT_EQ(built.size(), 2u);
    EXPECT_EQ(published.back(), built[1]);
    EXPECT_FALSE(built[0]->disposed) << "a completed connection is released, not disposed";

    // A new subscriber gets the current connection first.
    std::shared_ptr<VKConnection> late;
    monitor->observableConnection().subscribe([&](const auto& c) { late = c; })->dispose();
    EXPECT_EQ(late, built[1]);

    // The daemon's announcement cancels the pending re-creation and replaces at once.
    built[1]->lose();
    advance(3s);
    center->announce();
    advance();
    ASSERT_EQ(built.size(), 3u);
    EXPECT_EQ(published.back(), built[2]);
    advance(60s);
    EXPECT_EQ(built.size(), 3u) << "the cancelled delayed re-creation ran";
}

TEST_F(MonitorTest, AnAnnouncementWhileConnectedReplacesTheConnectionOnce) {
    auto monitor = makeMonitor();
    // Observers run without the monitor's lock: one that waits for another thread using the
    // monitor does not stall it.
    std::optional<std::future_status> otherThread;
    auto observer = monitor->observableConnection().subscribe([&](const auto& connection) {
        if (connection && connection != built[0])
            otherThread =
                std::async(std::launch::async, [&] { return monitor->isDisposed(); }).wait_for(30s);
    });
    center->announce();
    advance();
    ASSERT_EQ(built.size(), 2u);
    EXPECT_TRUE(built[0]->disposed);
    EXPECT_EQ(published.back(), built[1]);
    EXPECT_EQ(otherThread, std::future_status::ready);
    observer->dispose();

    built[0]->lose();  // the old connection's end is no longer watched
    advance(30s);
    EXPECT_EQ(built.size(), 2u);
    EXPECT_EQ(published.back(), built[1]);

    // No new connection: the disposed one is not left published, and another try follows.
    connectionsAvailable = false;
    center->announce();
    advance();
    EXPECT_TRUE(built[1]->disposed);
    EXPECT_EQ(published.back(), nullptr);
    connectionsAvailable = true;
    advance(10s);
    ASSERT_EQ(built.size(), 3u);
    EXPECT_EQ(published.back(), built[2]);
}

// Completions and re-creations on a pool: a completion handled late must not unpublish the
// connection made after it.
TEST_F(MonitorTest, OnlyACompletedConnectionIsUnpublishedWhileAnnouncementsRace) {
    auto pool = std::make_shared<rx::ConcurrentDispatchQueueScheduler>("ConnectionMonitorImpl");
    auto monitor = ConnectionMonitorImpl::make(container.synchronize(), pool);
    std::mutex mutex;
    std::shared_ptr<FakeConnection> last;
    int healthyUnpublished = 0;
    auto observer = monitor->observableConnection().subscribe([&](const auto& connection) {
        std::lock_guard lock(mutex);
        healthyUnpublished += !connection && last && !last->completed;
        last = std::static_pointer_cast<FakeConnection>(connection);
    });
    std::thread announcer([&] {
        for (int i = 0; i < 5000; ++i) {
            center->announce();
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 20000; ++i) {
        std::unique_lock lock(mutex);
        auto connection = last;
        lock.unlock();
        if (connection)
            connection->lose();
        std::this_thread::yield();
    }
    announcer.join();
    observer->dispose();
    monitor->dispose();
    EXPECT_EQ(healthyUnpublished, 0);
}

TEST_F(MonitorTest, DisposeWaitsForARecreationInProgressOnAnotherThread) {
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
    std::thread recreator([&] { advance(); });
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

TEST_F(MonitorTest, DisposeStopsWatchingPublishesEmptyAndStopsRecreation) {
    auto monitor = makeMonitor();
    center->announce();  // an announcement already on its way when the monitor is disposed
    monitor->dispose();
    monitor->dispose();
    EXPECT_FALSE(center->observed());
    EXPECT_EQ(published.back(), nullptr);
    EXPECT_FALSE(built[0]->disposed) << "dispose() leaves the connection to its holders";
    advance(30s);
    EXPECT_EQ(built.size(), 1u);
    EXPECT_EQ(published.back(), nullptr);
}

TEST_F(MonitorTest, BootstrapRetriesEveryFailureDeletesInvalidFilesAndThrowsTheLast) {
    auto monitor = makeMonitor();
    auto& connection = *built[0];
    connection.openError = VKError::invalidFileData;
    EXPECT_EQ(errorOf([&] { monitor->bootstrapSettings(VKDictionary::make(), "prefs"); }),
              VKError::invalidFileData);
    EXPECT_EQ(connection.opens.load(), 3);
    EXPECT_EQ(connection.deletes.load(), 3);

    // Whatever an attempt throws, the next one follows.
    connection.openError.reset();
    connection.throwsForeignError = true;
    EXPECT_EQ(errorOf([&] {
                  monitor->bootstrapSettings(VKDictionary::make(), "prefs", VKOwnership::shared(),
                                             2, 0);
              }),
              VKError::serverError);
    EXPECT_EQ(connection.opens.load(), 5);

    connection.throwsForeignError = false;
    monitor->bootstrapSettings(VKDictionary::make(), "prefs", VKOwnership::shared(), 5, 0);
    EXPECT_EQ(connection.opens.load(), 6) << "success returns at once";
    // Without a root there is nothing to create from: no attempt is made.
    EXPECT_EQ(errorOf([&] { monitor->bootstrapSettings(nullptr, "prefs"); }), VKError::invalidData);
    EXPECT_EQ(connection.opens.load(), 6);

    connectionsAvailable = false;
    auto without = ConnectionMonitorImpl::make(container.synchronize(), scheduler);
    EXPECT_EQ(errorOf([&] {
                  without->bootstrapSettings(VKDictionary::make(), "prefs", VKOwnership::realUser(),
                                             0, 1000);
              }),
              VKError::connectionLost);
}
