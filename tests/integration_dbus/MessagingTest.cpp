#include <gtest/gtest.h>

#include <sys/socket.h>

#include <numeric>
#include <thread>

#include "Inbox.h"
#include "dbus/BusError.h"
#include "dbus/BusLoop.h"
#include "dbus/RequestCodec.h"
#include "dbus/ResponseCodec.h"
#include "internals/SettingsService.h"
#include "support/PrivateBus.h"

using namespace velkor;
using dbus::BusConnection;
using dbus::BusLoop;
using dbus::Message;
using dbus::ReceivedResponse;
using dbus::Refusal;
using dbus::RequestCodec;
using dbus::ResponseCodec;

namespace {

const std::string kService = "org.velkor.SettingsDaemon";
const UUID kId = *UUID::parse("0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF");

/// The daemon's side in miniature: owns the service name, records each request (or refusal) and
/// answers it through `answer`, from its loop thread.
struct Server {
    using Answer = std::function<std::optional<ServerResponse>(const ClientRequest&)>;

    Server(const std::string& address, Answer answer)
        : answer(std::move(answer)), loop(BusConnection::open(address)) {
        EXPECT_TRUE(loop.withBus([](BusConnection& bus) { return bus.requestName(kService); }));
        loop.start([this](const Message& m) { handle(m); }, [] {});
    }

    void handle(const Message& message) {
        auto parsed = RequestCodec::parse(message);
        if (auto* refusal = std::get_if<Refusal>(&parsed)) {
            if (refusal->reason == Refusal::Reason::notForUs)
                return;  // NameAcquired and the like
            loop.withBus([&](BusConnection& bus) {
                bus.replyWithError(message, refusal->errorName, refusal->detail);
            });
            refusals.push(*refusal);
            return;
        }
        auto& request = std::get<Tagged<ClientRequest>>(parsed);
        if (auto response = answer(request.payload)) {
            std::string sender(message.sender());
            loop.withBus([&](BusConnection& bus) {
                bus.send(ResponseCodec::build(bus, sender, request.tag, *response));
            });
        }
        requests.push(std::move(request));
    }

    // The loop comes last, so that it stops before what its handler uses goes away.
    Answer answer;
    test::Inbox<Tagged<ClientRequest>> requests;
    test::Inbox<Refusal> refusals;
    BusLoop loop;
};

/// The library's side in miniature: sends requests, records the answers it receives.
struct Client {
    explicit Client(const std::string& address) : loop(BusConnection::open(address)) {
        loop.start(
            [this](const Message& m) {
                auto parsed = ResponseCodec::parse(m);
                if (auto* received = std::get_if<ReceivedResponse>(&parsed))
                    responses.push(std::move(*received));
            },
            [] {});
    }

    void send(const UUID& tag, const ClientRequest& request) {
        loop.withBus([&](BusConnection& bus) {
            bus.send(RequestCodec::build(bus, kService, tag, request));
        });
    }

    test::Inbox<ReceivedResponse> responses;
    BusLoop loop;
};

class MessagingTest : public ::testing::Test {
  protected:
    test::PrivateBus bus;
};

}  // namespace

TEST_F(MessagingTest, RequestsReachTheNameOwnerAndAnswersReachOnlyTheirDestination) {
    Server server(bus.address(), [](const ClientRequest& r) -> std::optional<ServerResponse> {
        if (r.get<ClientRequest::ResolveSettings>())
            return ServerResponse::RequestHasFailed{VKError::containerNotFound};
        return ServerResponse::RequestSucceeded{};
    });
    Client client(bus.address());

    // A third connection that listens for every answer signal on the bus.
    test::Inbox<std::string> overheard;
    BusLoop listener(BusConnection::open(bus.address()));
    auto match = listener.withBus([](BusConnection& b) {
        return b.addMatch("type='signal',interface='org.velkor.SettingsResponseService'");
    });
    listener.start(
        [&](const Message& m) {
            if (m.interface() == dbus_names::kResponseInterface)
                overheard.push(std::string(m.member()));
        },
        [] {});

    auto change = std::make_shared<const VKChangeNotification>(ChangeType::childAppended, kId, 4, 0,
                                                               0, "", std::vector<std::uint8_t>{7});
    const ClientRequest requests[] = {
        ClientRequest::CreateSettings{Blob(std::vector<std::uint8_t>{1}), "a.b", 501},
        ClientRequest::FetchSettings{"a.b", 501, "x/y", true},
        ClientRequest::UpdateSettings{change},
        ClientRequest::ResolveSettings{kId, false},
        ClientRequest::DeleteSettings{"a.b", 501},
        ClientRequest::SetHasSubscription{kId, true},
    };
    std::vector<UUID> tags;
    for (const auto& request : requests) {
        tags.push_back(UUID::random());
        client.send(tags.back(), request);
    }

    for (std::size_t i = 0; i < tags.size(); ++i) {
        auto received = server.requests.next();
        ASSERT_TRUE(received.has_value()) << "request " << i << " did not arrive";
        EXPECT_EQ(received->tag, tags[i]);
        EXPECT_EQ(received->payload.description(), requests[i].description());
    }
    for (std::size_t i = 0; i < tags.size(); ++i) {
        auto answer = client.responses.next();
        ASSERT_TRUE(answer.has_value()) << "answer " << i << " did not arrive";
        EXPECT_EQ(answer->tag, tags[i]);
        ASSERT_TRUE(answer->response.has_value());
        EXPECT_EQ(answer->response->description(),
                  i == 3 ? "requestHasFailed(There was an attempt to resolve unknown server "
                           "container.)"
                         : "requestSucceeded");
    }

    // A signal broadcast after the answers reaches the listener after anything addressed to it
    // would have: if the answers had reached it, they would be there before this one.
    server.loop.withBus([](BusConnection& b) {
        sd_bus_message* raw = nullptr;
        dbus::BusError::check(
            sd_bus_message_new_signal(b.get(), &raw, dbus_names::kObjectPath,
                                      dbus_names::kResponseInterface, "endOfTest"),
            "signal");
        b.send(Message(raw));
    });
    EXPECT_EQ(overheard.next(), "endOfTest");
    EXPECT_TRUE(overheard.drain().empty());
    listener.withBus([&](BusConnection&) { match = dbus::Slot(); });
}

TEST_F(MessagingTest, FourMebibyteBlobsTravelBothWays) {
    std::vector<std::uint8_t> up(4 << 20);
    std::iota(up.begin(), up.end(), std::uint8_t{3});
    std::vector<std::uint8_t> down(4 << 20);
    for (std::size_t i = 0; i < down.size(); ++i)
        down[i] = static_cast<std::uint8_t>((i * 7919) >> 3);

    Server server(bus.address(), [&](const ClientRequest& r) -> std::optional<ServerResponse> {
        if (r.get<ClientRequest::CreateSettings>())
            return ServerResponse::SettingsFetched{Blob(down)};
        return ServerResponse::RequestSucceeded{};
    });
    Client client(bus.address());
    // With a small socket buffer, and the client's loop asleep after a first exchange and a
    // pause, the socket takes only part of the big request: only waking the loop gets the rest
    // written.
    client.loop.withBus([](BusConnection& b) {
        int size = 64 * 1024;
        setsockopt(sd_bus_get_fd(b.get()), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    });
    client.send(UUID::random(), ClientRequest::DeleteSettings{"warm.up", 0});
    ASSERT_TRUE(server.requests.next().has_value());
    ASSERT_TRUE(client.responses.next().has_value());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto tag = UUID::random();
    client.send(tag, ClientRequest::CreateSettings{Blob(up), "big", 0});

    auto request = server.requests.next();
    ASSERT_TRUE(request.has_value());
    const auto* create = request->payload.get<ClientRequest::CreateSettings>();
    ASSERT_NE(create, nullptr);
    EXPECT_EQ(create->data, Blob(up));

    auto answer = client.responses.next();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->tag, tag);
    ASSERT_TRUE(answer->response.has_value());
    const auto* fetched = answer->response->get<ServerResponse::SettingsFetched>();
    ASSERT_NE(fetched, nullptr);
    EXPECT_EQ(fetched->data, Blob(down));
}

TEST_F(MessagingTest, MalformedCallsAreRefusedAndTheServerKeepsServing) {
    Server server(bus.address(), [](const ClientRequest&) -> std::optional<ServerResponse> {
        return ServerResponse::RequestSucceeded{};
    });
    // A raw peer, driven synchronously from the test thread.
    auto peer = BusConnection::open(bus.address());
    auto call = [&](const char* member, bool expectReply, auto fill) {
        sd_bus_message* raw = nullptr;
        dbus::BusError::check(sd_bus_message_new_method_call(peer.get(), &raw, kService.c_str(),
                                                             dbus_names::kObjectPath,
                                                             dbus_names::kRequestInterface, member),
                              "call");
        Message m(raw);
        fill(raw);
        std::string error;
        if (expectReply) {
            sd_bus_error e = SD_BUS_ERROR_NULL;
            sd_bus_message* reply = nullptr;
            if (sd_bus_call(peer.get(), raw, 0, &e, &reply) < 0 && e.name)
                error = e.name;
            sd_bus_message_unref(reply);
            sd_bus_error_free(&e);
        } else {
            sd_bus_message_set_expect_reply(raw, 0);
            peer.send(m);
        }
        return error;
    };
    auto tag = UUID::random();
    std::uint8_t fifteen[15] = {};

    EXPECT_EQ(call("fetchSettingsWithTag", true,
                   [](sd_bus_message* m) { sd_bus_message_append(m, "s", "just a text"); }),
              SD_BUS_ERROR_INVALID_ARGS);
    EXPECT_EQ(call("noSuchMemberWithTag", true, [](sd_bus_message*) {}),
              SD_BUS_ERROR_UNKNOWN_METHOD);
    call("deleteSettingsWithTag", false, [&](sd_bus_message* m) {
        sd_bus_message_append_array(m, 'y', fifteen, sizeof fifteen);
        sd_bus_message_append(m, "su", "a.b", 1u);
    });
    call("updateSettingsWithTag", false, [&](sd_bus_message* m) {
        sd_bus_message_append_array(m, 'y', tag.bytes().data(), 16);
        sd_bus_message_append(m, "a{sv}", 2, "type", "s", "garbage", "id", "x", std::int64_t{1});
    });

    std::vector<Refusal> refusals;
    for (int i = 0; i < 4; ++i) {
        auto refusal = server.refusals.next();
        ASSERT_TRUE(refusal.has_value());
        refusals.push_back(*refusal);
    }
    EXPECT_EQ(refusals[0].reason, Refusal::Reason::wrongSignature);
    EXPECT_EQ(refusals[1].reason, Refusal::Reason::unknownMember);
    EXPECT_EQ(refusals[2].reason, Refusal::Reason::invalidArgument);
    EXPECT_FALSE(refusals[2].tag.has_value());
    // The update's tag could be read: the daemon can answer it with invalidData.
    EXPECT_EQ(refusals[3].reason, Refusal::Reason::invalidArgument);
    EXPECT_EQ(refusals[3].tag, tag);
    EXPECT_TRUE(server.requests.drain().empty());

    // A sound request still gets through.
    call("setHasSubscriptionWithTag", false, [&](sd_bus_message* m) {
        sd_bus_message_append_array(m, 'y', tag.bytes().data(), 16);
        sd_bus_message_append_array(m, 'y', kId.bytes().data(), 16);
        sd_bus_message_append(m, "b", 0);
    });
    auto request = server.requests.next();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->tag, tag);
    EXPECT_EQ(request->payload.description(),
              "setHasSubscription(contId=0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF, "
              "hasSubscription=false)");
}
