#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <numeric>
#include <thread>

#include "dbus/BusError.h"
#include "dbus/BusLoop.h"
#include "dbus/RequestCodec.h"
#include "dbus/ResponseCodec.h"
#include "support/BlockingQueue.h"
#include "support/PrivateBus.h"

using namespace velkor;
using dbus::BusConnection;
using dbus::BusLoop;
using dbus::Message;
using dbus::RequestCodec;
using dbus::ResponseCodec;

namespace {

const std::string kService = "org.velkor.SettingsDaemon";

class BusLoopTest : public ::testing::Test {
  protected:
    /// A started loop on the bus, owning `name` if given, that calls `ended` when the bus ends.
    std::unique_ptr<BusLoop> loop(
        std::function<void(const Message&)> handler, const std::string& name = {},
        std::function<void()> ended = [] {}) {
        auto l = std::make_unique<BusLoop>(BusConnection::open(bus.address()));
        if (!name.empty()) {
            EXPECT_TRUE(l->withBus([&](BusConnection& b) { return b.requestName(name); }));
        }
        l->start(std::move(handler), std::move(ended));
        return l;
    }

    /// Sends `request` with `tag` to `name` through `from`.
    static void send(BusLoop& from, const std::string& name, const UUID& tag = UUID::random(),
                     const ClientRequest& request = ClientRequest::DeleteSettings{"a.b", 1}) {
        from.withBus([&](BusConnection& b) { b.send(RequestCodec::build(b, name, tag, request)); });
    }

    test::PrivateBus bus;
};

}  // namespace

// With a small socket buffer and the client's loop asleep after a first exchange, the socket takes
// only part of a big request: only waking the loop gets the rest written. Four mebibytes travel
// each way.
TEST_F(BusLoopTest, BigBlobsTravelThroughASmallSocketBufferAndHandlersAndTheBusEndLoops) {
    std::vector<std::uint8_t> up(4 << 20), down(4 << 20);
    std::iota(up.begin(), up.end(), std::uint8_t{3});
    for (std::size_t i = 0; i < down.size(); ++i)
        down[i] = static_cast<std::uint8_t>((i * 7919) >> 3);
    test::BlockingQueue<Tagged<ClientRequest>> requests;
    std::unique_ptr<BusLoop> server;
    server = loop(
        [&](const Message& m) {
            auto parsed = RequestCodec::parse(m);
            auto* request = std::get_if<Tagged<ClientRequest>>(&parsed);
            if (!request)
                return;
            ServerResponse response = ServerResponse::RequestSucceeded{};
            if (request->payload.get<ClientRequest::CreateSettings>())
                response = ServerResponse::SettingsFetched{Blob(down)};
            std::string sender(m.sender());
            server->withBus([&](BusConnection& b) {
                b.send(ResponseCodec::build(b, sender, request->tag, response));
            });
            requests.push(std::move(*request));
        },
        kService);
    test::BlockingQueue<dbus::ReceivedResponse> responses;
    std::atomic<int> disconnects{0};
    test::BlockingQueue<bool> ended;
    auto client = loop(
        [&](const Message& m) {
            auto parsed = ResponseCodec::parse(m);
            if (auto* received = std::get_if<dbus::ReceivedResponse>(&parsed))
                responses.push(std::move(*received));
        },
        {},
        [&] {
            ++disconnects;
            ended.push(true);
        });
    client->withBus([](BusConnection& b) {
        int size = 64 * 1024;
        setsockopt(sd_bus_get_fd(b.get()), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    });
    send(*client, kService);
    ASSERT_TRUE(requests.next().has_value());
    ASSERT_TRUE(responses.next().has_value());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto tag = UUID::random();
    send(*client, kService, tag, ClientRequest::CreateSettings{Blob(up), "big", 0});

    auto request = requests.next();
    ASSERT_TRUE(request.has_value());
    const auto* create = request->payload.get<ClientRequest::CreateSettings>();
    ASSERT_NE(create, nullptr);
    EXPECT_EQ(create->data, Blob(up));
    auto answer = responses.next();
    ASSERT_TRUE(answer.has_value() && answer->response);
    EXPECT_EQ(answer->tag, tag);
    const auto* fetched = answer->response->get<ServerResponse::SettingsFetched>();
    ASSERT_NE(fetched, nullptr);
    EXPECT_EQ(fetched->data, Blob(down));
    server->stop();

    // A handler may stop its own loop or even destroy it.
    std::atomic<int> handled{0};
    test::BlockingQueue<bool> stopped, destroyed;
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
    send(*client, "org.velkor.Stopping");
    ASSERT_TRUE(stopped.next());
    send(*client, "org.velkor.Stopping");
    send(*client, "org.velkor.Doomed");
    ASSERT_TRUE(destroyed.next());
    stopping->stop();
    EXPECT_EQ(handled.load(), 1);

    // The bus's end is reported once, after which sending and restarting fail.
    EXPECT_THROW(client->start([](const Message&) {}, [] {}), std::logic_error);  // started twice
    bus.stop();
    ASSERT_TRUE(ended.next().has_value());
    EXPECT_THROW(send(*client, kService), dbus::BusError);
    client->stop();
    client->stop();
    EXPECT_EQ(disconnects.load(), 1);
    EXPECT_THROW(client->start([](const Message&) {}, [] {}), std::logic_error);
}
