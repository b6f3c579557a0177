#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <latch>
#include <thread>

#include "support/ErrorOf.h"
#include "support/OnThreads.h"
#include "support/TransportFixture.h"

using namespace velkor;
using namespace std::chrono_literals;
using DaemonLossTest = velkor::test::TransportFixture;

// The daemon gives up its name, exits, or passes the name straight to a queued successor (no moment
// without an owner, yet the daemon we talked to is gone): waiting callers are released, the
// transport closes for good, and only a fresh transport reaches the next daemon.
TEST_F(DaemonLossTest, TheDaemonLeavingReleasesWaitingCallersAndClosesTheTransportForGood) {
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        start();
        auto adapter = makeAdapter();
        std::atomic<int> lost{0};
        std::thread waiting([&] {
            test::onThreads(3, [&](int) {
                lost += test::errorOf([&] {
                            adapter->sync(ClientRequest::SetHasSubscription{UUID::random(), true});
                        }) == VKError::connectionLost;
            });
        });
        for (int i = 0; i < 3; ++i)
            EXPECT_TRUE(daemon->nextRequest());
        dbus::BusConnection queued = dbus::BusConnection::open(bus.address());
        if (way == 2) {
            ASSERT_GE(sd_bus_request_name(queued.get(), kService, SD_BUS_NAME_QUEUE), 0);
        }
        if (way == 1)
            daemon->close();
        else
            daemon->releaseName();
        waiting.join();
        EXPECT_EQ(lost.load(), 3);
        EXPECT_TRUE(completed->next());
        EXPECT_EQ(test::errorOf([&] {
                      adapter->sync(ClientRequest::DeleteSettings{"a", 1});
                  }),
                  VKError::connectionLost);
        if (way == 2) {
            EXPECT_EQ(queued.nameOwner(kService), queued.uniqueName());
            continue;
        }
        test::FakeBusDaemon successor(bus.address(), kService);
        transport->routeClientRequestMessage(UUID::random(), ClientRequest::DeleteSettings{"a", 1});
        auto fresh = XpcChannelToServer::make(kService, bus.address());
        fresh->routeClientRequestMessage(UUID::random(), ClientRequest::DeleteSettings{"fresh", 1});
        auto received = successor.nextRequest();
        ASSERT_TRUE(received && received->request);
        EXPECT_EQ(received->request->payload.description(), "deleteSettings(1@fresh)");
    }
}

// A caller, closing, a client error ending the requests, the daemon leaving and shutdown, all at
// once, close the transport exactly once.
TEST_F(DaemonLossTest, ConcurrentTriggersCloseTheTransportExactlyOnce) {
    for (int round = 0; round < 20; ++round) {
        start();
        logs->clear();
        auto adapter = makeAdapter();
        std::latch go(5);
        test::onThreads(5, [&](int t) {
            go.arrive_and_wait();
            if (t == 0)
                EXPECT_TRUE(test::errorOf([&] {
                    adapter->sync(ClientRequest::DeleteSettings{"a", 1});
                }));
            else if (t == 1)
                transport->closeConnection();
            else if (t == 2)
                transport->virtualChannel()->onError(
                    std::make_exception_ptr(VKError(VKError::serverError)));
            else if (t == 3)
                daemon->releaseName();
            else
                adapter->shutdown();
        });
        EXPECT_TRUE(completed->next());
        EXPECT_EQ(completed->size(), 0u) << "completed once";
        EXPECT_EQ(logs->count(LogLevel::trace, "Closing server connection ("), 1u) << round;
    }
}

// The daemon is not running but the bus knows how to start it: the transport stays open, the first
// request starts velkord, and its answer is taken from the owner that the name gained meanwhile.
// The bus going away then ends the transport; velkord is stopped by the process id its service
// file wrote, as the test did not start it.
TEST(DaemonActivation, TheBusStartsTheDaemonOnTheFirstRequest) {
    auto directory = std::filesystem::temp_directory_path() /
                     ("velkor-activation-" + UUID::random().description());
    std::filesystem::create_directories(directory / "services");
    std::ofstream(directory / "services" / "org.velkor.SettingsDaemon.service")
        << "[D-BUS Service]\nName=org.velkor.SettingsDaemon\n"
        << "Exec=/bin/sh -c 'echo $$ >" << (directory / "pid").string() << "; exec " << VELKORD_PATH
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

        pid_t pid = 0;
        std::ifstream(directory / "pid") >> pid;
        ASSERT_GT(pid, 0);
        bus.stop();
        EXPECT_TRUE(ended.next()) << "the bus going away ends the transport";
        kill(pid, SIGTERM);
        for (int i = 0; i < 1000 && kill(pid, 0) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::filesystem::remove_all(directory);
}

// Many clients of one user reach the bus at once (a login storm), on a bus with room for only a
// few of them: it lets 4 connections authenticate and 8 live at once, and turns the others away
// (LimitsExceeded, or dropped while authenticating). Each is tried again until it gets in, within
// its time-out, and every transport opens.
TEST(LoginStorm, EveryClientGetsInWithinItsTimeOutWhenTheBusIsMomentarilyFull) {
    test::PrivateBus bus(
        {},
        "<policy context=\"default\"><allow user=\"*\"/><allow send_destination=\"*\"/>"
        "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy>"
        "<limit name=\"max_incomplete_connections\">4</limit>"
        "<limit name=\"max_connections_per_user\">8</limit>\n");
    test::FakeBusDaemon daemon(bus.address(), "org.velkor.SettingsDaemon");
    constexpr int kClients = 32;
    std::atomic<int> open{0};
    std::latch ready(kClients);
    test::onThreads(kClients, [&](int) {
        ready.arrive_and_wait();
        auto transport = XpcChannelToServer::make("org.velkor.SettingsDaemon", bus.address(), 5s);
        std::atomic<bool> closed{false};
        transport->virtualChannel()->events().subscribe({}, {}, [&] { closed = true; })->dispose();
        open += !closed;
        // Each keeps its place on the bus a while, as a client making its first request does.
        std::this_thread::sleep_for(50ms);
    });
    EXPECT_EQ(open.load(), kClients);
}
