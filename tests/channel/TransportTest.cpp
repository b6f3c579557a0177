#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "channel/VirtualChannelSyncAdapter.h"
#include "support/ErrorOf.h"
#include "support/TransportFixture.h"

using namespace velkor;
using velkor::test::TransportFixture;

namespace {

const UUID kId = *UUID::parse("0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF");

void appendTag(sd_bus_message* m, const UUID& tag) {
    ASSERT_GE(sd_bus_message_append_array(m, 'y', tag.bytes().data(), 16), 0);
}

class TransportTest : public TransportFixture {
  protected:
    /// The next answer the transport emits, which must carry `tag`.
    ServerResponse expectAnswer(const UUID& tag) {
        auto answer = answers->next();
        if (!answer) {
            ADD_FAILURE() << "no answer emitted";
            return ServerResponse::RequestSucceeded{};
        }
        EXPECT_EQ(answer->tag, tag);
        return answer->payload;
    }

    /// Sends `member` to `client` with the tag and what `append` adds.
    void sendRaw(const std::string& client, const char* member, const UUID& tag,
                 const std::function<void(sd_bus_message*)>& append) {
        daemon->sendRaw(client, member, [&](sd_bus_message* m) {
            appendTag(m, tag);
            append(m);
        });
    }
};

}  // namespace

// Signals the client cannot use are logged and dropped, and none of them ends the transport; an
// error code it does not know is a server error.
TEST_F(TransportTest, AnswersReachTheChannelWithTheirTagsAndUnusableOnesAreDropped) {
    auto client = clientName();
    auto record = std::make_shared<const VKChangeNotification>(
        ChangeType::childInserted, kId, 5, 1, 2, "a", std::vector<std::uint8_t>{1, 2});
    const ServerResponse responses[] = {
        ServerResponse::RequestSucceeded{},
        ServerResponse::SettingsFetched{Blob({1, 2})},
        ServerResponse::SettingsUpdated{ChangeResult::waitToBeUpdated, 7},
        ServerResponse::NoteChanges{{record}, {"x/a"}},
        ServerResponse::SettingsDeleted{kId},
        ServerResponse::RequestHasFailed{VKError::fileDoesNotExist},
    };
    std::vector<UUID> tags;
    for (const auto& response : responses) {
        tags.push_back(UUID::random());
        daemon->answer(client, tags.back(), response);
        // Each followed by signals to drop: an update result that is no ChangeResult, an extra
        // argument, a blob as text, a record without an id, a member the interface lacks.
        sendRaw(client, "settingsUpdatedWithTag", UUID::random(),
                [](auto m) { sd_bus_message_append(m, "xx", std::int64_t{5}, std::int64_t{3}); });
        sendRaw(client, "requestSucceededWithTag", UUID::random(),
                [](auto m) { sd_bus_message_append(m, "s", "extra"); });
        sendRaw(client, "settingsFetchedWithTag", UUID::random(),
                [](auto m) { sd_bus_message_append(m, "s", "not bytes"); });
        sendRaw(client, "noteChangesWithTag", UUID::random(), [](auto m) {
            sd_bus_message_append(m, "aa{sv}as", 1, 1, "type", "x", std::int64_t{2}, 1, "k");
        });
        sendRaw(client, "settingsExplodedWithTag", UUID::random(), [](auto) {});
    }
    auto unknownError = UUID::random();
    sendRaw(client, "requestHasFailedWithTag", unknownError,
            [](auto m) { sd_bus_message_append(m, "x", std::int64_t{99}); });

    for (std::size_t i = 0; i < tags.size(); ++i)
        EXPECT_EQ(expectAnswer(tags[i]).description(), responses[i].description());
    auto failed = expectAnswer(unknownError);
    ASSERT_TRUE(failed.get<ServerResponse::RequestHasFailed>());
    EXPECT_EQ(failed.get<ServerResponse::RequestHasFailed>()->error, VKError::serverError);
    EXPECT_EQ(linesStartingWith(LogLevel::error, "Ignoring invalid 'settingsExplodedWithTag'"),
              tags.size());
    EXPECT_EQ(answers->completions(), 0);
}

// A caller whose answer arrives unreadable fails with serverError at once, not after its
// time-out with connectionLost.
TEST_F(TransportTest, AnUnreadableAnswerFailsItsCallerAtOnce) {
    auto client = clientName();
    auto adapter = VirtualChannelSyncAdapter<VirtualChannelToServer>::make(
        transport->virtualChannel(), std::chrono::hours(1));
    auto answeredWith = [&](const std::function<void(sd_bus_message*)>& body, const char* member) {
        auto call = std::async(std::launch::async, [&] {
            return test::errorOf([&] { adapter->sync(ClientRequest::DeleteSettings{"d", 1}); });
        });
        auto received = daemon->nextRequest();
        if (received && received->request)
            sendRaw(client, member, received->request->tag, body);
        return call.get();
    };
    EXPECT_EQ(answeredWith(
                  [](auto m) { sd_bus_message_append(m, "xx", std::int64_t{7}, std::int64_t{1}); },
                  "settingsUpdatedWithTag"),
              VKError::serverError);
    EXPECT_EQ(answeredWith([](auto m) { sd_bus_message_append(m, "s", "not bytes"); },
                           "settingsFetchedWithTag"),
              VKError::serverError);
}

TEST_F(TransportTest, ARequestThatCannotTravelIsRefusedAtOnceAndTheTransportStays) {
    auto tag = UUID::random();
    transport->routeClientRequestMessage(
        tag, ClientRequest::FetchSettings{std::string("bad\0domain", 10), 501, "", false});
    auto answer = expectAnswer(tag);
    ASSERT_TRUE(answer.get<ServerResponse::RequestHasFailed>());
    EXPECT_EQ(answer.get<ServerResponse::RequestHasFailed>()->error, VKError::invalidData);

    transport->routeClientRequestMessage(UUID::random(), ClientRequest::DeleteSettings{"open", 1});
    auto received = daemon->nextRequest();
    ASSERT_TRUE(received && received->request);
    EXPECT_EQ(received->request->payload.description(), "deleteSettings(1@open)");
    EXPECT_EQ(answers->completions(), 0);
}

TEST_F(TransportTest, CompletingTheRequestStreamClosesTheTransportOnceAndLaterRequestsAreDropped) {
    auto client = clientName();
    transport->virtualChannel()->onCompleted();
    EXPECT_TRUE(answers->waitForCompletion());
    transport->closeConnection();
    EXPECT_EQ(linesStartingWith(LogLevel::trace, "Closing server connection ("), 1u);
    EXPECT_EQ(answers->completions(), 1);

    transport->virtualChannel()->requestSubject.onNext(
        {UUID::random(), ClientRequest::DeleteSettings{"dropped", 1}});
    transport->routeClientRequestMessage(UUID::random(), ClientRequest::DeleteSettings{"gone", 1});
    // The bus forgets the closed connection's name; the bus delivers in order, so the marker a
    // fresh transport sends is the next request the daemon sees.
    auto observer = dbus::BusConnection::open(bus.address());
    for (int i = 0; i < 500 && observer.nameOwner(client); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(observer.nameOwner(client));
    auto other = XpcChannelToServer::make(kService, bus.address());
    other->routeClientRequestMessage(UUID::random(), ClientRequest::DeleteSettings{"marker", 1});
    auto received = daemon->nextRequest();
    ASSERT_TRUE(received && received->request);
    EXPECT_EQ(received->request->payload.description(), "deleteSettings(1@marker)");
}
