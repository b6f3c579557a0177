#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "channel/ConnectionToServer.h"
#include "channel/VirtualChannelSyncAdapter.h"
#include "channel/XpcChannelToServerFactory.h"
#include "support/ErrorOf.h"
#include "support/SystemBusAddress.h"
#include "support/TransportFixture.h"
#include "velkor/BKProductDefines.h"

using namespace velkor;
using velkor::test::TransportFixture;

namespace {

using Fill = std::function<void(sd_bus_message*)>;
const UUID kId = *UUID::parse("0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF");

class TransportTest : public TransportFixture {
  protected:
    /// Sends `member` to `client` with `tag` and what `fill` adds.
    void sendRaw(const std::string& client, const char* member, const UUID& tag, const Fill& fill) {
        daemon->sendRaw(client, member, [&](sd_bus_message* m) {
            ASSERT_GE(sd_bus_message_append_array(m, 'y', tag.bytes().data(), 16), 0);
            fill(m);
        });
    }
    std::shared_ptr<VirtualChannelSyncAdapter<VirtualChannelToServer>> makeAdapter() {
        return VirtualChannelSyncAdapter<VirtualChannelToServer>::make(transport->virtualChannel(),
                                                                       std::chrono::hours(1));
    }
};

}  // namespace

// Requests leave in order with their tags from one connection. Of the signals that come back, only
// usable ones from the name's owner reach the channel, in order: a peer that does not own the name,
// answers that do not decode and members the interface lacks are logged and dropped, and none of
// them ends the transport; an error code the client does not know is a server error.
TEST_F(TransportTest, OnlyTheOwnersUsableAnswersReachTheChannelWithTheirTags) {
    auto client = clientName();
    const std::vector<UUID> sent{UUID::random(), UUID::random()};
    test::FakeBusDaemon impostor(bus.address(), "org.velkor.Impostor");
    auto record = std::make_shared<const VKChangeNotification>(
        ChangeType::childInserted, kId, 5, 1, 2, "a", std::vector<std::uint8_t>{1, 2});
    const ServerResponse responses[] = {
        ServerResponse::SettingsFetched{Blob({1, 2})},
        ServerResponse::NoteChanges{{record}, {"x/a"}},
        ServerResponse::RequestHasFailed{VKError::fileDoesNotExist},
        ServerResponse::SettingsUpdated{ChangeResult::waitToBeUpdated, 7},
        ServerResponse::SettingsDeleted{kId},
        ServerResponse::RequestSucceeded{},
    };
    for (const auto& response : responses) {
        impostor.answer(client, sent[0], ServerResponse::SettingsDeleted{kId});
        daemon->answer(client, sent[0], response);
        sendRaw(client, "settingsUpdatedWithTag", UUID::random(),
                [](auto m) { sd_bus_message_append(m, "xx", std::int64_t{5}, std::int64_t{3}); });
        sendRaw(client, "requestSucceededWithTag", UUID::random(),
                [](auto m) { sd_bus_message_append(m, "s", "extra"); });
        sendRaw(client, "noteChangesWithTag", UUID::random(), [](auto m) {
            sd_bus_message_append(m, "aa{sv}as", 1, 1, "type", "x", std::int64_t{2}, 1, "k");
        });
        sendRaw(client, "settingsExplodedWithTag", UUID::random(), [](auto) {});
    }
    sendRaw(client, "requestHasFailedWithTag", sent[1],
            [](auto m) { sd_bus_message_append(m, "x", std::int64_t{99}); });

    for (const auto& response : responses) {
        auto answer = answers->next();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->tag, sent[0]);
        EXPECT_EQ(answer->payload.description(), response.description());
    }
    auto failed = answers->next();
    ASSERT_TRUE(failed && failed->payload.get<ServerResponse::RequestHasFailed>());
    EXPECT_EQ(failed->tag, sent[1]);
    EXPECT_EQ(failed->payload.get<ServerResponse::RequestHasFailed>()->error, VKError::serverError);
    EXPECT_EQ(answers->pending(), 0u);
    EXPECT_EQ(answers->completions(), 0);
}

// A caller whose answer arrives unreadable, but with its tag, fails with serverError at once rather
// than waiting out its time-out.
TEST_F(TransportTest, AnUnreadableAnswerFailsItsCallerAtOnce) {
    auto client = clientName();
    auto adapter = makeAdapter();
    const std::pair<const char*, Fill> unreadable[] = {
        {"settingsUpdatedWithTag",
         [](auto m) { sd_bus_message_append(m, "xx", std::int64_t{7}, std::int64_t{1}); }},
        {"settingsFetchedWithTag", [](auto m) { sd_bus_message_append(m, "s", "not bytes"); }},
    };
    for (const auto& [member, fill] : unreadable) {
        auto call = std::async(std::launch::async, [&] {
            return test::errorOf([&] { adapter->sync(ClientRequest::DeleteSettings{"d", 1}); });
        });
        auto received = daemon->nextRequest();
        ASSERT_TRUE(received && received->request);
        sendRaw(client, member, received->request->tag, fill);
        EXPECT_EQ(call.get(), VKError::serverError) << member;
    }
}

// A request that cannot travel is refused at once and the transport stays. Completing the request
// stream closes the transport once; requests after it never reach the daemon.
TEST_F(TransportTest, AnUnsendableRequestIsRefusedAndTheEndOfTheRequestsClosesOnce) {
    auto adapter = makeAdapter();
    auto refused =
        adapter->sync(ClientRequest::FetchSettings{std::string("bad\0domain", 10), 501, "", false});
    ASSERT_TRUE(refused.get<ServerResponse::RequestHasFailed>());
    EXPECT_EQ(refused.get<ServerResponse::RequestHasFailed>()->error, VKError::invalidData);
    auto client = clientName();

    transport->virtualChannel()->onCompleted();
    EXPECT_TRUE(answers->waitForCompletion());
    transport->closeConnection();
    EXPECT_EQ(logs->count(LogLevel::trace, "Closing server connection ("), 1u);
    EXPECT_EQ(answers->completions(), 1);
    transport->routeClientRequestMessage(UUID::random(), ClientRequest::DeleteSettings{"gone", 1});
    // Once the bus forgets the closed connection, the bus delivering in order, the marker a fresh
    // transport sends is the next request the daemon sees.
    auto observer = dbus::BusConnection::open(bus.address());
    for (int i = 0; i < 500 && observer.nameOwner(client); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(observer.nameOwner(client));
    XpcChannelToServer::make(kService, bus.address())
        ->routeClientRequestMessage(UUID::random(), ClientRequest::DeleteSettings{"marker", 1});
    auto received = daemon->nextRequest();
    ASSERT_TRUE(received && received->request);
    EXPECT_EQ(received->request->payload.description(), "deleteSettings(1@marker)");
}

// The container builds a transport per resolution to the daemon named by the product defines, over
// the system bus; without that name it builds none and says so.
TEST_F(TransportTest, TheFactoryBuildsOneTransportPerResolutionToTheNamedDaemon) {
    di::Container container;
    auto defines = [&](int key) {
        container.registerFactory<BKProductDefines>([key](const di::Resolver&) {
            return std::make_shared<BKProductDefines>(std::map<int, std::string>{{key, kService}});
        });
    };
    XpcChannelToServerFactory::registerWith(container);
    EXPECT_EQ(container.resolve<ConnectionToServer>(), nullptr);
    defines(BKProductDefines::kDaemonServiceName + 1);
    EXPECT_EQ(container.resolve<ConnectionToServer>(), nullptr);
    EXPECT_EQ(logs->count(LogLevel::error, "no BKProductDefines with the daemon's service name"),
              2u);

    test::SystemBusAddress systemBus(bus.address());
    defines(BKProductDefines::kDaemonServiceName);
    auto first = container.resolve<ConnectionToServer>();
    auto second = container.resolve<ConnectionToServer>();
    ASSERT_TRUE(first && second);
    first->virtualChannel()->onNext({UUID::random(), ClientRequest::DeleteSettings{"a", 1}});
    second->virtualChannel()->onNext({UUID::random(), ClientRequest::DeleteSettings{"b", 1}});
    auto one = daemon->nextRequest();
    auto two = daemon->nextRequest();
    ASSERT_TRUE(one && two);
    EXPECT_NE(one->sender, two->sender);  // one bus connection each
}
