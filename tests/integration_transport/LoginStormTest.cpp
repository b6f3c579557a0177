#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "channel/XpcChannelToServer.h"
#include "support/FakeBusDaemon.h"
#include "support/OnThreads.h"
#include "support/PrivateBus.h"

using namespace velkor;
using namespace std::chrono_literals;

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
