#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "dbus/BusError.h"
#include "dbus/BusLoop.h"
#include "dbus/RequestCodec.h"
#include "internals/SettingsService.h"
#include "support/BlockingQueue.h"
#include "support/PrivateBus.h"

using namespace velkor;
using dbus::BusConnection;
using dbus::BusLoop;
using dbus::Message;
using dbus::RequestCodec;

namespace {

const std::string kService = "org.velkor.SettingsDaemon";

class BusLoopTest : public ::testing::Test {
  protected:
    /// A loop owning the service name that hands each request's tag to `tags`.
    std::unique_ptr<BusLoop> serverLoop(test::BlockingQueue<UUID>& tags) {
        auto loop = std::make_unique<BusLoop>(BusConnection::open(bus.address()));
        loop->withBus([](BusConnection& b) { return b.requestName(kService); });
        loop->start(
            [&tags](const Message& m) {
                auto parsed = RequestCodec::parse(m);
                if (auto* request = std::get_if<Tagged<ClientRequest>>(&parsed))
                    tags.push(request->tag);
            },
            [] {});
        return loop;
    }

    test::PrivateBus bus;
};

}  // namespace

TEST_F(BusLoopTest, ManyThreadsSendThroughOneLoopEachInItsOwnOrder) {
    test::BlockingQueue<UUID> received;
    auto server = serverLoop(received);
    BusLoop client(BusConnection::open(bus.address()));
    client.start([](const Message&) {}, [] {});

    constexpr int kThreads = 4;
    constexpr int kPerThread = 150;
    std::vector<std::vector<UUID>> sent(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                auto tag = UUID::random();
                sent[t].push_back(tag);
                client.withBus([&](BusConnection& b) {
                    b.send(RequestCodec::build(b, kService, tag,
                                               ClientRequest::DeleteSettings{"a.b", 1}));
                });
            }
        });
    }
    for (auto& thread : threads)
        thread.join();

    std::map<UUID, std::pair<int, int>> origin;  // tag -> (thread, position)
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kPerThread; ++i)
            origin[sent[t][i]] = {t, i};
    std::vector<int> nextOf(kThreads, 0);
    for (int n = 0; n < kThreads * kPerThread; ++n) {
        auto tag = received.next();
        ASSERT_TRUE(tag.has_value()) << "only " << n << " requests arrived";
        auto [t, i] = origin.at(*tag);
        EXPECT_EQ(i, nextOf[t]) << "thread " << t << " out of order";
        nextOf[t] = i + 1;
    }
}

TEST_F(BusLoopTest, TheEndOfTheBusIsReportedOnceAndSendingOrRestartingThenFails) {
    std::atomic<int> disconnects{0};
    test::BlockingQueue<bool> ended;
    BusLoop loop(BusConnection::open(bus.address()));
    loop.start([](const Message&) {},
               [&] {
                   ++disconnects;
                   ended.push(true);
               });
    EXPECT_THROW(loop.start([](const Message&) {}, [] {}), std::logic_error);  // started twice
    bus.stop();
    ASSERT_TRUE(ended.next().has_value());
    EXPECT_THROW(loop.withBus([](BusConnection& b) {
        b.send(RequestCodec::build(b, kService, UUID::random(),
                                   ClientRequest::DeleteSettings{"a.b", 1}));
    }),
                 dbus::BusError);
    loop.stop();
    loop.stop();
    EXPECT_EQ(disconnects.load(), 1);
    EXPECT_THROW(loop.start([](const Message&) {}, [] {}), std::logic_error);
}

TEST_F(BusLoopTest, AHandlerMayStopOrEvenDestroyItsOwnLoop) {
    test::BlockingQueue<UUID> received;
    auto server = serverLoop(received);

    // Stopping from the handler: later messages are not handled.
    std::atomic<int> handled{0};
    test::BlockingQueue<bool> stopped;
    BusLoop stopping(BusConnection::open(bus.address()));
    stopping.withBus([](BusConnection& b) { return b.requestName("org.velkor.Stopping"); });
    stopping.start(
        [&](const Message& m) {
            if (m.member() == "deleteSettingsWithTag") {
                ++handled;
                stopping.stop();
                stopped.push(true);
            }
        },
        [] {});

    // Destroying from the handler: the loop finishes without its owner.
    test::BlockingQueue<bool> destroyed;
    auto doomed = std::make_unique<BusLoop>(BusConnection::open(bus.address()));
    doomed->withBus([](BusConnection& b) { return b.requestName("org.velkor.Doomed"); });
    doomed->start(
        [&](const Message& m) {
            if (m.member() == "deleteSettingsWithTag" && doomed) {
                doomed.reset();
                destroyed.push(true);
            }
        },
        [] {});

    BusLoop client(BusConnection::open(bus.address()));
    client.start([](const Message&) {}, [] {});
    auto sendTo = [&](const std::string& name) {
        client.withBus([&](BusConnection& b) {
            b.send(RequestCodec::build(b, name, UUID::random(),
                                       ClientRequest::DeleteSettings{"a.b", 1}));
        });
    };
    sendTo("org.velkor.Stopping");
    ASSERT_TRUE(stopped.next().has_value());
    sendTo("org.velkor.Stopping");
    sendTo("org.velkor.Doomed");
    ASSERT_TRUE(destroyed.next().has_value());
    sendTo(kService);
    ASSERT_TRUE(received.next().has_value());
    stopping.stop();
    EXPECT_EQ(handled.load(), 1);
}
