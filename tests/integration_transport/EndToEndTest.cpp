#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "channel/VirtualChannelSyncAdapter.h"
#include "channel/XpcChannelToServer.h"
#include "channel/XpcChannelToServerFactory.h"
#include "connection/ConnectionImpl.h"
#include "monitor/ConnectionMonitorImpl.h"
#include "monitor/DBusDaemonOnlineCenter.h"
#include "support/BlockingQueue.h"
#include "support/PrivateBus.h"
#include "support/SystemBusAddress.h"
#include "support/TestDaemon.h"
#include "velkor/BKProductDefines.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKScalars.h"
#include "velkor/rx/SerialEventLoopScheduler.h"

using namespace velkor;
using Clock = std::chrono::steady_clock;

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr auto kPromptly = std::chrono::milliseconds(1000);
#else
constexpr auto kPromptly = std::chrono::milliseconds(100);
#endif

/// velkord on a private bus, with its store in a directory of its own, and the library wired up
/// through the dependency container as a host does it.
class EndToEndTest : public ::testing::Test {
  protected:
    EndToEndTest() {
        std::filesystem::create_directories(directory_);
        daemon_ = std::make_unique<test::TestDaemon>(test::TestDaemon::Settings{
            VELKORD_PATH, bus_.address(), (directory_ / "settings.db").string()});
        container_.registerFactory<BKProductDefines>(
            [](const di::Resolver&) { return std::make_shared<BKProductDefines>(); });
        XpcChannelToServerFactory::registerWith(container_);
        container_.registerFactory<DaemonOnlineCenter>(
            [](const di::Resolver&) { return DBusDaemonOnlineCenter::make(); });
    }
    ~EndToEndTest() override {
        daemon_.reset();
        std::filesystem::remove_all(directory_);
    }

    /// A new connection, with its own transport, as a second process would have.
    std::shared_ptr<ConnectionImpl> connect() {
        auto connection = ConnectionImpl::make(
            *container_.synchronize(), std::make_shared<rx::SerialEventLoopScheduler>("events"));
        EXPECT_TRUE(connection);
        return connection;
    }

    test::PrivateBus bus_;
    test::SystemBusAddress systemBus_{bus_.address()};
    std::filesystem::path directory_ =
        std::filesystem::temp_directory_path() / ("velkor-e2e-" + UUID::random().description());
    std::unique_ptr<test::TestDaemon> daemon_;
    di::Container container_;
};

std::string text(const VKObjectPtr& value) {
    auto string = std::dynamic_pointer_cast<VKString>(value);
    return string ? string->value() : "<not a string>";
}

TEST_F(EndToEndTest, KillingTheDaemonReleasesWaitingCallersAndEndsTheConnection) {
    auto connection = connect();
    test::BlockingQueue<Clock::time_point> completed;
    auto watching =
        connection->asObservable().subscribe({}, {}, [&] { completed.push(Clock::now()); });
    connection->openOrCreateSettings(VKDictionary::make(), "org.velkor.Doomed",
                                     VKOwnership::realUser());

    // A frozen daemon takes requests off the bus but answers none.
    ASSERT_EQ(kill(daemon_->pid(), SIGSTOP), 0);
    test::BlockingQueue<Clock::time_point> released;
    std::thread waiting([&] {
        try {
            connection->deleteSettings("org.velkor.Doomed", VKOwnership::realUser());
            ADD_FAILURE() << "deleted";
        } catch (const VKError& e) {
            EXPECT_EQ(e, VKError::connectionLost);
        }
        released.push(Clock::now());
    });
    EXPECT_FALSE(released.next(std::chrono::milliseconds(200)));  // it does wait

    auto killedAt = Clock::now();
    daemon_->stop(SIGKILL);
    auto releasedAt = released.next();
    waiting.join();
    ASSERT_TRUE(releasedAt);
    EXPECT_LT(*releasedAt - killedAt, kPromptly);
    auto completedAt = completed.next();
    ASSERT_TRUE(completedAt);
    EXPECT_LT(*completedAt - killedAt, kPromptly);
    EXPECT_THROW(connection->getSetting("org.velkor.Doomed", "", false, VKOwnership::realUser()),
                 VKError);
}

// The monitor over the bus: when velkord restarts, the daemon-online announcement replaces the
// lost connection at once, long before the 10-second re-creation would.
TEST_F(EndToEndTest, MonitorPublishesANewConnectionSoonAfterTheDaemonIsBack) {
    auto resolver = container_.synchronize();
    auto events = std::make_shared<rx::SerialEventLoopScheduler>("events");
    container_.registerFactory<VKConnection>(
        [resolver, events](const di::Resolver&) -> std::shared_ptr<VKConnection> {
            return ConnectionImpl::make(*resolver, events);
        });
    auto monitor = ConnectionMonitorImpl::make(
        resolver, std::make_shared<rx::SerialEventLoopScheduler>("monitor"));
    ASSERT_TRUE(monitor);
    test::BlockingQueue<std::pair<std::shared_ptr<VKConnection>, Clock::time_point>> published;
    auto watching =
        monitor->observableConnection().subscribe([&](const std::shared_ptr<VKConnection>& c) {
            published.push({c, Clock::now()});
        });
    auto first = published.next();
    ASSERT_TRUE(first && first->first);

    auto tree = VKDictionary::make();
    tree->set("kept", std::make_shared<VKString>("across restarts"));
    first->first->openOrCreateSettings(tree, "org.velkor.Restart", VKOwnership::realUser());

    daemon_->stop(SIGTERM);
    auto lost = published.next();
    ASSERT_TRUE(lost);
    EXPECT_EQ(lost->first, nullptr);

    daemon_ = std::make_unique<test::TestDaemon>(daemon_->settings());
    auto backAt = Clock::now();  // the daemon owned its name before its fixture returned
    auto replaced = published.next();
    ASSERT_TRUE(replaced && replaced->first);
    EXPECT_LT(replaced->second - backAt, std::chrono::seconds(1));
    EXPECT_EQ(text(replaced->first->getSetting("org.velkor.Restart", "kept", false,
                                               VKOwnership::realUser())),
              "across restarts");
    monitor->dispose();
}

// The daemon is not running but the bus knows how to start it: the first request starts it, and
// its answer is taken from the owner that the name gained meanwhile.
TEST(ActivatedDaemonTest, TheBusStartsTheDaemonOnTheFirstRequest) {
    auto directory = std::filesystem::temp_directory_path() /
                     ("velkor-activation-" + UUID::random().description());
    std::filesystem::create_directories(directory / "services");
    std::ofstream(directory / "services" / "org.velkor.SettingsDaemon.service")
        << "[D-BUS Service]\nName=org.velkor.SettingsDaemon\n"
        << "Exec=/bin/sh -c 'exec " << VELKORD_PATH
        << " --bus-address \"$DBUS_STARTER_ADDRESS\" --db " << (directory / "settings.db").string()
        << "'\n";
    {
        test::PrivateBus bus((directory / "services").string());
        auto transport = XpcChannelToServer::make("org.velkor.SettingsDaemon", bus.address());
        auto adapter = VirtualChannelSyncAdapter<VirtualChannelToServer>::make(
            transport->virtualChannel(), std::chrono::seconds(10));
        auto answer = adapter->sync(ClientRequest::DeleteSettings{"org.velkor.nothing", getuid()});
        EXPECT_EQ(answer.description(),
                  "requestHasFailed(A settings file does not exists (or cannot be accessed).)");

        // The bus started the daemon, not this test: stop it by the process id the bus knows.
        auto observer = dbus::BusConnection::open(bus.address());
        sd_bus_creds* raw = nullptr;
        ASSERT_GE(sd_bus_get_name_creds(observer.get(), "org.velkor.SettingsDaemon",
                                        SD_BUS_CREDS_PID, &raw),
                  0);
        pid_t pid = 0;
        EXPECT_GE(sd_bus_creds_get_pid(raw, &pid), 0);
        sd_bus_creds_unref(raw);
        ASSERT_GT(pid, 0);
        kill(pid, SIGTERM);
        for (int i = 0; i < 1000 && kill(pid, 0) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::filesystem::remove_all(directory);
}

}  // namespace
