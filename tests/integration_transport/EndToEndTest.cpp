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
#include "support/ChannelRecorder.h"
#include "support/ErrorOf.h"
#include "support/PrivateBus.h"
#include "support/SystemBusAddress.h"
#include "support/TestDaemon.h"
#include "velkor/BKProductDefines.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKScalars.h"
#include "velkor/rx/SerialEventLoopScheduler.h"
#include "velkor/testing/VirtualTimeScheduler.h"

using namespace velkor;
using namespace std::chrono_literals;

namespace {

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

    test::PrivateBus bus_;
    test::SystemBusAddress systemBus_{bus_.address()};
    std::filesystem::path directory_ =
        std::filesystem::temp_directory_path() / ("velkor-e2e-" + UUID::random().description());
    std::unique_ptr<test::TestDaemon> daemon_;
    di::Container container_;
    rx::SchedulerPtr events_ = std::make_shared<rx::SerialEventLoopScheduler>("events");
};

// Requests wait an hour: the caller comes back only because the daemon's end released it.
TEST_F(EndToEndTest, KillingTheDaemonReleasesWaitingCallersAndEndsTheConnection) {
    auto connection = ConnectionImpl::make(*container_.synchronize(), events_, 1h);
    ASSERT_TRUE(connection);
    test::BlockingQueue<bool> completed;
    auto watching = connection->asObservable().subscribe({}, {}, [&] { completed.push(true); });
    connection->openOrCreateSettings(VKDictionary::make(), "org.velkor.Doomed",
                                     VKOwnership::realUser());

    // A frozen daemon takes requests off the bus but answers none.
    ASSERT_EQ(kill(daemon_->pid(), SIGSTOP), 0);
    std::thread waiting([&] {
        EXPECT_EQ(test::errorOf([&] {
                      connection->deleteSettings("org.velkor.Doomed", VKOwnership::realUser());
                  }),
                  VKError::connectionLost);
    });
    std::this_thread::sleep_for(100ms);  // lets the request go out first
    daemon_->stop(SIGKILL);
    waiting.join();
    EXPECT_TRUE(completed.next());
    EXPECT_THROW(connection->getSetting("org.velkor.Doomed", "", false, VKOwnership::realUser()),
                 VKError);
}

// When velkord restarts, its announcement replaces the lost connection at once: the monitor's
// clock never moves here, so the 10-second re-creation cannot be what does it.
TEST_F(EndToEndTest, TheMonitorPublishesANewConnectionWhenTheDaemonIsBack) {
    auto resolver = container_.synchronize();
    container_.registerFactory<VKConnection>(
        [resolver, this](const di::Resolver&) -> std::shared_ptr<VKConnection> {
            return ConnectionImpl::make(*resolver, events_);
        });
    auto clock = std::make_shared<rx::VirtualTimeScheduler>();
    auto monitor = ConnectionMonitorImpl::make(resolver, clock);
    ASSERT_TRUE(monitor);
    test::BlockingQueue<std::shared_ptr<VKConnection>> published;
    auto watching = monitor->observableConnection().subscribe(
        [&](const std::shared_ptr<VKConnection>& c) { published.push(c); });
    auto next = [&]() -> std::optional<std::shared_ptr<VKConnection>> {
        for (int i = 0; i < 500; ++i) {
            clock->advanceBy(0s);
            if (auto c = published.next(20ms))
                return c;
        }
        return std::nullopt;
    };
    auto first = next();
    ASSERT_TRUE(first && *first);
    auto tree = VKDictionary::make();
    tree->set("kept", std::make_shared<VKString>("across restarts"));
    (*first)->openOrCreateSettings(tree, "org.velkor.Restart", VKOwnership::realUser());

    daemon_->stop(SIGTERM);
    auto lost = next();
    ASSERT_TRUE(lost);
    EXPECT_EQ(*lost, nullptr);
    daemon_ = std::make_unique<test::TestDaemon>(daemon_->settings());
    auto replaced = next();
    ASSERT_TRUE(replaced && *replaced);
    auto kept = std::dynamic_pointer_cast<VKString>(
        (*replaced)->getSetting("org.velkor.Restart", "kept", false, VKOwnership::realUser()));
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->value(), "across restarts");
    monitor->dispose();
}

// The daemon is not running but the bus knows how to start it: the transport stays open, the first
// request starts the daemon, and its answer is taken from the owner that the name gained
// meanwhile. The bus going away then ends the transport.
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
        test::ChannelRecorder recorder(transport->virtualChannel());
        EXPECT_EQ(recorder.completions(), 0);
        auto adapter = VirtualChannelSyncAdapter<VirtualChannelToServer>::make(
            transport->virtualChannel(), 1h);
        auto answer = adapter->sync(ClientRequest::DeleteSettings{"org.velkor.nothing", getuid()});
        ASSERT_TRUE(answer.get<ServerResponse::RequestHasFailed>());
        EXPECT_EQ(answer.get<ServerResponse::RequestHasFailed>()->error, VKError::fileDoesNotExist);

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
        bus.stop();
        EXPECT_TRUE(recorder.waitForCompletion());
        kill(pid, SIGTERM);
        for (int i = 0; i < 1000 && kill(pid, 0) == 0; ++i)
            std::this_thread::sleep_for(10ms);
    }
    std::filesystem::remove_all(directory);
}

}  // namespace
