#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <future>
#include <thread>

#include "channel/ConnectionToServer.h"
#include "monitor/ConnectionMonitorImpl.h"
#include "monitor/DaemonOnlineCenter.h"
#include "monitor/FakeConnectionAndMonitor.h"
#include "support/ErrorOf.h"
#include "support/LogCapture.h"
#include "support/OnThreads.h"
#include "velkor/Connect.h"
#include "velkor/VKConnectionFactory.h"
#include "velkor/rx/ConcurrentDispatchQueueScheduler.h"
#include "velkor/testing/VirtualTimeScheduler.h"

using namespace velkor;
using namespace std::chrono_literals;
using namespace velkor::test;

namespace {

/// Announces the daemon when the test says so.
class FakeOnlineCenter final : public DaemonOnlineCenter {
  public:
    rx::DisposablePtr addObserver(const std::string&, std::function<void()> cb) override {
        callback = std::move(cb);
        return rx::Disposables::create([this] { callback = nullptr; });
    }
    void announce() {
        if (auto cb = callback)
            cb();
    }
    std::function<void()> callback;
};

struct MonitorTest : ::testing::Test {
    MonitorTest() {
        container.registerFactory<BKProductDefines>(
            [](const di::Resolver&) { return std::make_shared<BKProductDefines>(); });
        container.registerFactory<DaemonOnlineCenter>(
            [this](const di::Resolver&) { return center; });
        container.registerFactory<VKConnection>([this](const di::Resolver&) -> VKConnectionPtr {
            return connectionsAvailable ? built.emplace_back(std::make_shared<FakeConnection>())
                                        : nullptr;
        });
    }
    std::shared_ptr<ConnectionMonitorImpl> makeMonitor() {
        auto monitor = ConnectionMonitorImpl::make(container.synchronize(), scheduler);
        subscription = scoped(monitor->observableConnection().subscribe(
            [this](const VKConnectionPtr& c) { published.push_back(c); }));
        return monitor;
    }
    /// Lets the monitor's jobs run, and the clock move by `by`.
    void advance(std::chrono::milliseconds by = 0ms) { scheduler->advanceBy(by); }

    LogCapture capture;
    di::Container container;
    std::shared_ptr<rx::VirtualTimeScheduler> scheduler =
        std::make_shared<rx::VirtualTimeScheduler>();
    std::shared_ptr<FakeOnlineCenter> center = std::make_shared<FakeOnlineCenter>();
    bool connectionsAvailable = true;
    std::vector<std::shared_ptr<FakeConnection>> built;
    std::vector<VKConnectionPtr> published;
    Subscription subscription;
};

}  // namespace

// Connected, replaced on the daemon's announcement, lost and re-created ten seconds later or at
// once when the daemon announces itself, not re-created while none can be built, disposed.
TEST_F(MonitorTest, TheConnectionIsReplacedWhenLostOrWhenTheDaemonAnnouncesItself) {
    auto monitor = makeMonitor();
    EXPECT_EQ(published, std::vector<VKConnectionPtr>{built.at(0)});
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
    EXPECT_EQ(published.back(), built[1]);

    built[1]->lose();
    advance();
    EXPECT_EQ(published.back(), nullptr);
    advance(10s);
    ASSERT_EQ(built.size(), 3u);
    EXPECT_EQ(published.back(), built[2]);
    EXPECT_FALSE(built[1]->disposed) << "a completed connection is released, not disposed";
    built[2]->lose();
    advance(3s);
    center->announce();  // cancels the pending re-creation and replaces at once
    advance();
    ASSERT_EQ(built.size(), 4u);
    EXPECT_EQ(published.back(), built[3]);
    advance(60s);
    EXPECT_EQ(built.size(), 4u) << "the cancelled delayed re-creation ran";

    // No new connection: the disposed one is not left published, and another try follows.
    connectionsAvailable = false;
    center->announce();
    advance();
    EXPECT_TRUE(built[3]->disposed);
    EXPECT_EQ(published.back(), nullptr);
    connectionsAvailable = true;
    advance(10s);
    ASSERT_EQ(built.size(), 5u);
    EXPECT_EQ(published.back(), built[4]);

    // Disposal stops watching and re-creating, publishes nothing and leaves the connection to
    // its holders, even with an announcement already on its way.
    center->announce();
    monitor->dispose();
    monitor->dispose();
    EXPECT_FALSE(center->callback);
    EXPECT_EQ(published.back(), nullptr);
    EXPECT_FALSE(built[4]->disposed);
    advance(30s);
    EXPECT_EQ(built.size(), 5u);
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
    onThreads(2, [&](int t) {  // one announces the daemon, the other ends connections
        for (int i = 0; i < (t == 0 ? 5000 : 20000); ++i, std::this_thread::yield()) {
            if (t == 0) {
                center->announce();
                continue;
            }
            std::unique_lock lock(mutex);
            auto connection = last;
            lock.unlock();
            if (connection)
                connection->lose();
        }
    });
    observer->dispose();
    monitor->dispose();
    EXPECT_EQ(healthyUnpublished, 0);
}

TEST_F(MonitorTest, DisposeWaitsForARecreationInProgressOnAnotherThread) {
    auto monitor = makeMonitor();
    std::promise<void> entered, release;
    auto released = release.get_future().share();
    std::atomic<bool> factoryReturned{false};
    container.registerFactory<VKConnection>([&](const di::Resolver&) -> VKConnectionPtr {
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

TEST_F(MonitorTest, BootstrapRetriesEveryFailureDeletesInvalidFilesAndThrowsTheLast) {
    auto monitor = makeMonitor();
    auto& connection = *built.at(0);
    auto root = VKDictionary::make();
    auto shared = VKOwnership::shared();
    connection.openError = VKError::invalidFileData;
    EXPECT_EQ(errorOf([&] { monitor->bootstrapSettings(root, "d"); }), VKError::invalidFileData);
    EXPECT_EQ(std::pair(connection.opens.load(), connection.deletes.load()), std::pair(3, 3));
    connection.openError.reset();  // whatever an attempt throws, the next one follows
    connection.foreignError = true;
    EXPECT_EQ(errorOf([&] { monitor->bootstrapSettings(root, "d", shared, 2, 0); }),
              VKError::serverError);
    EXPECT_EQ(connection.opens.load(), 5);
    connection.foreignError = false;
    monitor->bootstrapSettings(root, "d", shared, 5, 0);
    EXPECT_EQ(connection.opens.load(), 6) << "success returns at once";
    EXPECT_EQ(errorOf([&] { monitor->bootstrapSettings(nullptr, "d"); }), VKError::invalidData);
    EXPECT_EQ(connection.opens.load(), 6) << "without a root no attempt is made";
    connectionsAvailable = false;
    auto without = ConnectionMonitorImpl::make(container.synchronize(), scheduler);
    EXPECT_EQ(errorOf([&] { without->bootstrapSettings(root, "d", shared, 0, 1000); }),
              VKError::connectionLost);
}

// Without the daemon's name nothing is built; bad options are refused up front; a daemon that
// cannot be reached is a clear error for connect, while a monitor waits for it. On a bus that
// answers nobody, a monitor's own bus connection and its first connection wait within one request
// time-out together, not one each; so does connecting, which fails.
TEST(Registration, BadOptionsAndUnreachableOrSaturatedBuses) {
    LogCapture capture;
    di::Container bare;
    VKConnectionFactory::registerWith(bare);
    EXPECT_EQ(bare.resolve<ConnectionToServer>(), nullptr);
    EXPECT_EQ(bare.resolve<VKConnection>(), nullptr);
    EXPECT_EQ(bare.resolve<VKConnectionMonitor>(), nullptr);
    for (auto bad : {ConnectionOptions{.serviceName = ""}, ConnectionOptions{.requestTimeout = 0ms},
                     ConnectionOptions{.requestTimeout = 25h}}) {
        EXPECT_EQ(errorOf([&] { (void)connect(bad); }), VKError::invalidData);
        EXPECT_EQ(errorOf([&] { (void)makeMonitor(bad); }), VKError::invalidData);
    }
    // The system bus (the default) is pointed nowhere: no other thread reads the environment.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velkor-test", 1);
    EXPECT_EQ(errorOf([&] { (void)connect({}); }), VKError::cannotConnect);
    EXPECT_FALSE(makeMonitor({})->isDisposed());

    // A bus so busy that nobody is authenticated within a time-out: a socket (in the abstract
    // namespace, so nothing is left on disk) that takes every connection into its backlog and
    // never answers.
    const std::string name = "velkor-silent-" + std::to_string(getpid());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    name.copy(address.sun_path + 1, sizeof(address.sun_path) - 1);
    struct Socket {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ~Socket() { close(fd); }
    } silent;
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    ASSERT_EQ(bind(silent.fd, reinterpret_cast<const sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(silent.fd, 64), 0);
    const ConnectionOptions options{
        .busAddress = "unix:abstract=" + name, .scheduler = {}, .requestTimeout = 1500ms};
    const auto bound = options.requestTimeout + 700ms;  // two time-outs would be 3 s

    auto started = std::chrono::steady_clock::now();
    auto monitor = makeMonitor(options);
    EXPECT_LT(std::chrono::steady_clock::now() - started, bound);
    EXPECT_FALSE(monitor->isDisposed());
    monitor->dispose();

    started = std::chrono::steady_clock::now();
    EXPECT_EQ(errorOf([&] { (void)connect(options); }), VKError::cannotConnect);
    EXPECT_LT(std::chrono::steady_clock::now() - started, bound);
}
