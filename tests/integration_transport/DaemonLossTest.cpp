#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <latch>
#include <thread>

#include "channel/VirtualChannelSyncAdapter.h"
#include "support/TransportFixture.h"

using namespace velkor;
using velkor::test::TransportFixture;
using Clock = std::chrono::steady_clock;

namespace {

using SyncAdapter = VirtualChannelSyncAdapter<VirtualChannelToServer>;

// How soon waiting callers must be released once the daemon is gone; a time-out would take the
// adapter's full 5 seconds. Sanitizers slow every step down several times.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr auto kPromptly = std::chrono::milliseconds(1000);
#else
constexpr auto kPromptly = std::chrono::milliseconds(100);
#endif

class DaemonLossTest : public TransportFixture {};

/// A bus on which the daemon is activatable; the service it would start exits at once.
class ActivatableDaemonTest : public ::testing::Test {
  protected:
    ActivatableDaemonTest() {
        std::filesystem::create_directories(directory);
        std::ofstream(directory / "org.velkor.SettingsDaemon.service")
            << "[D-BUS Service]\nName=org.velkor.SettingsDaemon\nExec=/bin/false\n";
        bus = std::make_unique<test::PrivateBus>(directory.string());
    }
    ~ActivatableDaemonTest() override {
        bus.reset();
        std::filesystem::remove_all(directory);
    }

    std::filesystem::path directory = std::filesystem::temp_directory_path() /
                                      ("velkor-services-" + UUID::random().description());
    std::unique_ptr<test::PrivateBus> bus;
};

// Three callers wait for answers that never come when the daemon goes: each gets
// connectionLost promptly, released by the channel's end rather than by its time-out.
TEST_F(DaemonLossTest, DaemonGivingUpItsNameOrClosingItsConnectionReleasesWaitingCallers) {
    for (bool releaseName : {true, false}) {
        SCOPED_TRACE(releaseName ? "name released" : "connection closed");
        start({});
        logs->clear();
        auto adapter = SyncAdapter::make(transport->virtualChannel(), std::chrono::seconds(5));
        std::vector<Clock::time_point> failedAt(3);
        std::vector<std::thread> callers;
        for (int i = 0; i < 3; ++i) {
            callers.emplace_back([&, i] {
                try {
                    adapter->sync(ClientRequest::SetHasSubscription{UUID::random(), true});
                    ADD_FAILURE() << "answered";
                } catch (const VKError& e) {
                    EXPECT_EQ(e, VKError::connectionLost);
                }
                failedAt[i] = Clock::now();
            });
        }
        // A request is logged on its way into the transport, after its caller began waiting.
        for (int i = 0; i < 1000 && logs->count("Request on server channel: ") < 3; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));

        auto lostAt = Clock::now();
        if (releaseName)
            daemon->releaseName();
        else
            daemon->close();
        for (auto& caller : callers)
            caller.join();
        for (auto at : failedAt) {
            auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(at - lostAt);
            EXPECT_LT(elapsed, kPromptly) << elapsed.count() << " ms";
        }
        EXPECT_TRUE(answers->waitForCompletion());
        EXPECT_EQ(
            lines(LogLevel::warning,
                  "Server connection (" + transport->connectionDescription() + ") interrupted."),
            1u);
        // The connection is closed for good: the next request fails at once.
        EXPECT_THROW(adapter->sync(ClientRequest::DeleteSettings{"a", 1}), VKError);
    }
}

TEST_F(DaemonLossTest, AnotherDaemonTakingTheNameDoesNotRevive) {
    daemon->releaseName();
    ASSERT_TRUE(answers->waitForCompletion());
    test::FakeBusDaemon successor(bus.address(), kService);
    transport->routeClientRequestMessage(UUID::random(), ClientRequest::DeleteSettings{"a", 1});
    // A fresh transport is what reaches the successor.
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

        auto adapter = SyncAdapter::make(lonely->virtualChannel(), std::chrono::seconds(5));
        auto before = Clock::now();
        EXPECT_THROW(adapter->sync(ClientRequest::DeleteSettings{"a", 1}), VKError);
        EXPECT_LT(Clock::now() - before, kPromptly);
    }
    // What an administrator looks for when the daemon is neither running nor installed.
    EXPECT_EQ(lines(LogLevel::error,
                    "Error with settings request service: The settings daemon "
                    "'org.velkor.SettingsDaemon' is neither on the bus nor activatable."),
              1u);
}

// An activatable daemon keeps the transport open; with nobody owning the name, the bus going away
// is then the transport's only news. (No callers wait here: a request still being written when
// the bus goes is a failure to send, which closes the transport too.)
TEST_F(ActivatableDaemonTest, AnActivatableDaemonKeepsTheTransportOpenUntilTheBusGoes) {
    auto transport = XpcChannelToServer::make("org.velkor.SettingsDaemon", bus->address());
    test::ChannelRecorder recorder(transport->virtualChannel());
    EXPECT_EQ(recorder.completions(), 0);
    auto stoppedAt = Clock::now();
    bus->stop();
    EXPECT_TRUE(recorder.waitForCompletion());
    EXPECT_LT(Clock::now() - stoppedAt, kPromptly);
}

TEST_F(DaemonLossTest, ConcurrentTriggersCloseTheTransportExactlyOnce) {
    for (int round = 0; round < 20; ++round) {
        start({});
        logs->clear();
        auto adapter = SyncAdapter::make(transport->virtualChannel(), std::chrono::seconds(5));
        std::latch go(5);
        std::vector<std::thread> threads;
        threads.emplace_back([&] {
            go.arrive_and_wait();
            EXPECT_THROW(adapter->sync(ClientRequest::DeleteSettings{"a", 1}), VKError);
        });
        threads.emplace_back([&] {
            go.arrive_and_wait();
            transport->closeConnection();
        });
        threads.emplace_back([&] {
            go.arrive_and_wait();
            transport->virtualChannel()->onCompleted();
        });
        threads.emplace_back([&] {
            go.arrive_and_wait();
            daemon->releaseName();
        });
        threads.emplace_back([&] {
            go.arrive_and_wait();
            adapter->shutdown();
        });
        for (auto& thread : threads)
            thread.join();

        EXPECT_TRUE(answers->waitForCompletion());
        EXPECT_EQ(answers->completions(), 1);
        EXPECT_EQ(linesStartingWith(LogLevel::trace, "Closing server connection ("), 1u)
            << "round " << round;
    }
}

}  // namespace
