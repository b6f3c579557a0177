#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "support/TransportFixture.h"

using namespace velkor;

// The daemon is not running but the bus knows how to start it: the transport stays open, the first
// request starts velkord, and its answer is taken from the owner that the name gained meanwhile.
// The bus going away then ends the transport; velkord is stopped by the process id the bus knows,
// as the test did not start it.
TEST(DaemonActivation, TheBusStartsTheDaemonOnTheFirstRequest) {
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
        test::BlockingQueue<bool> ended;
        auto watching = scoped(
            transport->virtualChannel()->events().subscribe({}, {}, [&] { ended.push(true); }));
        auto answer = VirtualChannelSyncAdapter<VirtualChannelToServer>::make(
                          transport->virtualChannel(), std::chrono::hours(1))
                          ->sync(ClientRequest::DeleteSettings{"org.velkor.nothing", getuid()});
        ASSERT_TRUE(answer.get<ServerResponse::RequestHasFailed>());
        EXPECT_EQ(answer.get<ServerResponse::RequestHasFailed>()->error, VKError::fileDoesNotExist);

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
        EXPECT_TRUE(ended.next()) << "the bus going away ends the transport";
        kill(pid, SIGTERM);
        for (int i = 0; i < 1000 && kill(pid, 0) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::filesystem::remove_all(directory);
}
