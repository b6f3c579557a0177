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
    /// A started loop on the bus, owning `name` if given.
    std::unique_ptr<BusLoop> loop(std::function<void(const Message&)> handler,
                                  const std::string& name = {}) {
        auto l = std::make_unique<BusLoop>(BusConnection::open(bus.address()));
        if (!name.empty()) {
            EXPECT_TRUE(l->withBus([&](BusConnection& b) { return b.requestName(name); }));
        }
        l->start(std::move(handler), [] {});
        return l;
    }

    /// Sends a request with `tag` to `name` through `from`.
    static void send(BusLoop& from, const std::string& name, const UUID& tag = UUID::random()) {
        from.withBus([&](BusConnection& b) {
            b.send(RequestCodec::build(b, name, tag, ClientRequest::DeleteSettings{"a.b", 1}));
        });
    }

    test::PrivateBus bus;
};

}  // namespace

TEST_F(BusLoopTest, ManyThreadsSendThroughOneLoopEachInItsOwnOrder) {
    test::BlockingQueue<UUID> received;
    auto server = loop(
        [&](const Message& m) {
            auto parsed = RequestCodec::parse(m);
            if (auto* request = std::get_if<Tagged<ClientRequest>>(&parsed))
                received.push(request->tag);
        },
        kService);
    auto client = loop([](const Message&) {});

    constexpr int kThreads = 4, kPerThread = 150;
    std::map<UUID, std::pair<int, int>> origin;  // tag -> (thread, position)
    std::vector<std::vector<UUID>> tags(kThreads);
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kPerThread; ++i)
            origin[tags[t].emplace_back(UUID::random())] = {t, i};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (const auto& tag : tags[t])
                send(*client, kService, tag);
        });
    for (auto& thread : threads)
        thread.join();

    std::vector<int> nextOf(kThreads, 0);
    for (int n = 0; n < kThreads * kPerThread; ++n) {
        auto tag = received.next();
        ASSERT_TRUE(tag.has_value()) << "only " << n << " requests arrived";
        auto [t, i] = origin.at(*tag);
        EXPECT_EQ(i, nextOf[t]++) << "thread " << t << " out of order";
    }
}

TEST_F(BusLoopTest, TheEndOfTheBusIsReportedOnceAndSendingOrRestartingThenFails) {
    std::atomic<int> disconnects{0};
    test::BlockingQueue<bool> ended;
    BusLoop l(BusConnection::open(bus.address()));
    l.start([](const Message&) {},
            [&] {
                ++disconnects;
                ended.push(true);
            });
    EXPECT_THROW(l.start([](const Message&) {}, [] {}), std::logic_error);  // started twice
    bus.stop();
    ASSERT_TRUE(ended.next().has_value());
    EXPECT_THROW(send(l, kService), dbus::BusError);
    l.stop();
    l.stop();
    EXPECT_EQ(disconnects.load(), 1);
    EXPECT_THROW(l.start([](const Message&) {}, [] {}), std::logic_error);
}

TEST_F(BusLoopTest, AHandlerMayStopOrEvenDestroyItsOwnLoop) {
    std::atomic<int> handled{0};
    test::BlockingQueue<bool> stopped, destroyed, received;
    std::unique_ptr<BusLoop> stopping, doomed;
    stopping = loop(
        [&](const Message& m) {
            if (m.member() == "deleteSettingsWithTag") {
                ++handled;
                stopping->stop();
                stopped.push(true);
            }
        },
        "org.velkor.Stopping");
    doomed = loop(
        [&](const Message& m) {
            if (m.member() == "deleteSettingsWithTag" && doomed) {
                doomed.reset();  // the loop finishes without its owner
                destroyed.push(true);
            }
        },
        "org.velkor.Doomed");
    auto server = loop([&](const Message&) { received.push(true); }, kService);
    auto client = loop([](const Message&) {});

    send(*client, "org.velkor.Stopping");
    ASSERT_TRUE(stopped.next().has_value());
    send(*client, "org.velkor.Stopping");
    send(*client, "org.velkor.Doomed");
    ASSERT_TRUE(destroyed.next().has_value());
    send(*client, kService);
    ASSERT_TRUE(received.next().has_value());
    stopping->stop();
    EXPECT_EQ(handled.load(), 1);
}
