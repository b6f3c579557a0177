#include <gtest/gtest.h>

#include <sys/socket.h>

#include <numeric>
#include <thread>

#include "dbus/BusLoop.h"
#include "dbus/RequestCodec.h"
#include "dbus/ResponseCodec.h"
#include "support/BlockingQueue.h"
#include "support/PrivateBus.h"

using namespace velkor;
using dbus::BusConnection;
using dbus::BusLoop;
using dbus::Message;
using dbus::ReceivedResponse;
using dbus::RequestCodec;
using dbus::ResponseCodec;

namespace {

const std::string kService = "org.velkor.SettingsDaemon";

}  // namespace

TEST(MessagingTest, FourMebibyteBlobsTravelBothWaysThroughASmallSocketBuffer) {
    test::PrivateBus bus;
    std::vector<std::uint8_t> up(4 << 20);
    std::iota(up.begin(), up.end(), std::uint8_t{3});
    std::vector<std::uint8_t> down(4 << 20);
    for (std::size_t i = 0; i < down.size(); ++i)
        down[i] = static_cast<std::uint8_t>((i * 7919) >> 3);

    // The daemon's side in miniature: answers a create with the big blob, anything else with
    // success. Its loop is declared last so that it stops before the inbox goes.
    test::BlockingQueue<Tagged<ClientRequest>> requests;
    BusLoop server(BusConnection::open(bus.address()));
    ASSERT_TRUE(server.withBus([](BusConnection& b) { return b.requestName(kService); }));
    server.start(
        [&](const Message& m) {
            auto parsed = RequestCodec::parse(m);
            auto* request = std::get_if<Tagged<ClientRequest>>(&parsed);
            if (!request)
                return;
            ServerResponse response = ServerResponse::RequestSucceeded{};
            if (request->payload.get<ClientRequest::CreateSettings>())
                response = ServerResponse::SettingsFetched{Blob(down)};
            std::string sender(m.sender());
            server.withBus([&](BusConnection& b) {
                b.send(ResponseCodec::build(b, sender, request->tag, response));
            });
            requests.push(std::move(*request));
        },
        [] {});

    test::BlockingQueue<ReceivedResponse> responses;
    BusLoop client(BusConnection::open(bus.address()));
    client.start(
        [&](const Message& m) {
            auto parsed = ResponseCodec::parse(m);
            if (auto* received = std::get_if<ReceivedResponse>(&parsed))
                responses.push(std::move(*received));
        },
        [] {});
    auto send = [&](const UUID& tag, const ClientRequest& request) {
        client.withBus(
            [&](BusConnection& b) { b.send(RequestCodec::build(b, kService, tag, request)); });
    };
    // With a small socket buffer, and the client's loop asleep after a first exchange and a
    // pause, the socket takes only part of the big request: only waking the loop gets the rest
    // written.
    client.withBus([](BusConnection& b) {
        int size = 64 * 1024;
        setsockopt(sd_bus_get_fd(b.get()), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    });
    send(UUID::random(), ClientRequest::DeleteSettings{"warm.up", 0});
    ASSERT_TRUE(requests.next().has_value());
    ASSERT_TRUE(responses.next().has_value());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto tag = UUID::random();
    send(tag, ClientRequest::CreateSettings{Blob(up), "big", 0});

    auto request = requests.next();
    ASSERT_TRUE(request.has_value());
    const auto* create = request->payload.get<ClientRequest::CreateSettings>();
    ASSERT_NE(create, nullptr);
    EXPECT_EQ(create->data, Blob(up));

    auto answer = responses.next();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->tag, tag);
    const auto* fetched =
        answer->response ? answer->response->get<ServerResponse::SettingsFetched>() : nullptr;
    ASSERT_NE(fetched, nullptr);
    EXPECT_EQ(fetched->data, Blob(down));
    client.stop();
    server.stop();
}
