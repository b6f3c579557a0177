#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "channel/VirtualChannelSyncAdapter.h"
#include "support/ErrorOf.h"
#include "support/TransportFixture.h"

using namespace velkor;
using velkor::test::TransportFixture;

namespace {

using SyncAdapter = VirtualChannelSyncAdapter<VirtualChannelToServer>;

// Requests wait far longer than any test runs: a caller that comes back was released by the
// daemon's loss, not by its time-out.
constexpr auto kForever = std::chrono::hours(1);

class DaemonLossTest : public TransportFixture {
  protected:
    /// Three callers waiting for answers that never come; join() gives how many got
    /// connectionLost.
    struct Waiting {
        explicit Waiting(DaemonLossTest& fixture)
            : adapter(SyncAdapter::make(fixture.transport->virtualChannel(), kForever)) {
            for (int i = 0; i < 3; ++i)
                callers.emplace_back([this] {
                    lost +=
                        test::errorOf([&] {
                            adapter->sync(ClientRequest::SetHasSubscription{UUID::random(), true});
                        }) == VKError::connectionLost;
                });
            for (int i = 0; i < 3; ++i)
                EXPECT_TRUE(fixture.daemon->nextRequest());
        }
        int join() {
            for (auto& caller : callers)
                caller.join();
            return lost.load();
        }
        std::shared_ptr<SyncAdapter> adapter;
        std::atomic<int> lost{0};
        std::vector<std::thread> callers;
    };
};

}  // namespace

TEST_F(DaemonLossTest, TheDaemonLeavingReleasesWaitingCallersAndClosesTheTransportForGood) {
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        start({});
        logs->clear();
        Waiting waiting(*this);
        std::unique_ptr<dbus::BusConnection> successor;
        if (way == 0) {
            daemon->releaseName();
        } else if (way == 1) {
            daemon->close();
        } else {
            // A successor queued for the name gets it straight from the daemon: no moment
            // without an owner, yet the daemon we talked to is gone.
            successor =
                std::make_unique<dbus::BusConnection>(dbus::BusConnection::open(bus.address()));
            ASSERT_GE(sd_bus_request_name(successor->get(), kService, SD_BUS_NAME_QUEUE), 0);
            daemon->releaseName();
        }
        EXPECT_EQ(waiting.join(), 3);
        EXPECT_TRUE(answers->waitForCompletion());
        EXPECT_EQ(
            lines(LogLevel::warning,
                  "Server connection (" + transport->connectionDescription() + ") interrupted."),
            1u);
        EXPECT_EQ(test::errorOf([&] {
                      waiting.adapter->sync(ClientRequest::DeleteSettings{"a", 1});
                  }),
                  VKError::connectionLost);
        if (successor) {
            EXPECT_EQ(dbus::BusConnection::open(bus.address()).nameOwner(kService),
                      successor->uniqueName());
        }
    }
}

TEST_F(DaemonLossTest, AFreshTransportReachesTheNextDaemonAndTheClosedOneDoesNot) {
    daemon->releaseName();
    ASSERT_TRUE(answers->waitForCompletion());
    test::FakeBusDaemon successor(bus.address(), kService);
    transport->routeClientRequestMessage(UUID::random(), ClientRequest::DeleteSettings{"old", 1});
    auto fresh = XpcChannelToServer::make(kService, bus.address());
    fresh->routeClientRequestMessage(UUID::random(), ClientRequest::DeleteSettings{"fresh", 1});
    auto received = successor.nextRequest();
    ASSERT_TRUE(received && received->request);
    EXPECT_EQ(received->request->payload.description(), "deleteSettings(1@fresh)");
}

TEST_F(DaemonLossTest, NoDaemonOrNoBusAtAllClosesTheTransportAtOnce) {
    TearDown();
    logs->clear();
    for (const auto& address : {bus.address(), std::string("unix:path=/nonexistent/velkor/bus")}) {
        SCOPED_TRACE(address);
        auto lonely = XpcChannelToServer::make(kService, address);
        test::ChannelRecorder recorder(lonely->virtualChannel());
        EXPECT_EQ(recorder.completions(), 1);  // already when it was built
        auto adapter = SyncAdapter::make(lonely->virtualChannel(), kForever);
        EXPECT_EQ(test::errorOf([&] {
                      adapter->sync(ClientRequest::DeleteSettings{"a", 1});
                  }),
                  VKError::connectionLost);
    }
    // What an administrator looks for when the daemon is neither running nor installed.
    EXPECT_EQ(lines(LogLevel::error,
                    "Error with settings request service: The settings daemon "
                    "'org.velkor.SettingsDaemon' is neither on the bus nor activatable."),
              1u);
}

TEST_F(DaemonLossTest, ConcurrentTriggersCloseTheTransportExactlyOnce) {
    for (int round = 0; round < 20; ++round) {
        start({});
        logs->clear();
        auto adapter = SyncAdapter::make(transport->virtualChannel(), kForever);
        std::latch go(5);
        auto after = [&go](auto f) {
            return std::thread([&go, f] {
                go.arrive_and_wait();
                f();
            });
        };
        std::thread threads[] = {
            after([&] {
                EXPECT_TRUE(test::errorOf([&] {
                    adapter->sync(ClientRequest::DeleteSettings{"a", 1});
                }));
            }),
            after([&] { transport->closeConnection(); }),
            after([&] { transport->virtualChannel()->onCompleted(); }),
            after([&] { daemon->releaseName(); }),
            after([&] { adapter->shutdown(); }),
        };
        for (auto& thread : threads)
            thread.join();
        EXPECT_TRUE(answers->waitForCompletion());
        EXPECT_EQ(answers->completions(), 1);
        EXPECT_EQ(linesStartingWith(LogLevel::trace, "Closing server connection ("), 1u)
            << "round " << round;
    }
}
