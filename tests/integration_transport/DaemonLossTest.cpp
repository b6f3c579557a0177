#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "support/ErrorOf.h"
#include "support/OnThreads.h"
#include "support/TransportFixture.h"

using namespace velkor;
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
