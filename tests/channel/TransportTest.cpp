#include <gtest/gtest.h>

#include <future>

#include "support/ErrorOf.h"
#include "support/TransportFixture.h"

using namespace velkor;
using velkor::test::TransportFixture;
using TransportTest = TransportFixture;

namespace {

const UUID kId = *UUID::parse("0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF");

}  // namespace

// Requests leave with their tags from one connection. Of the signals that come back, only usable
// ones from the name's owner reach the channel, in order: a peer that does not own the name and
// members the interface lacks are logged and dropped, and neither ends the transport; an error
// code the client does not know is a server error.
TEST_F(TransportTest, OnlyTheOwnersUsableAnswersReachTheChannelWithTheirTags) {
    auto client = clientName();
    const UUID tag = UUID::random();
    test::FakeBusDaemon impostor(bus.address(), "org.velkor.Impostor");
    auto record = std::make_shared<const VKChangeNotification>(
        ChangeType::childInserted, kId, 5, 1, 2, "a", std::vector<std::uint8_t>{1, 2});
    const ServerResponse responses[] = {
        ServerResponse::NoteChanges{{record}, {"x/a"}},
        ServerResponse::SettingsDeleted{kId},
        ServerResponse::RequestSucceeded{},
    };
    for (const auto& response : responses) {
        impostor.answer(client, tag, ServerResponse::SettingsDeleted{kId});
        daemon->answer(client, tag, response);
        daemon->sendRaw(client, "settingsExplodedWithTag", UUID::random(), [](auto) {});
    }
    daemon->sendRaw(client, "requestHasFailedWithTag", tag,
                    [](auto m) { sd_bus_message_append(m, "x", std::int64_t{99}); });

    for (const auto& response : responses) {
        auto answer = answers->next();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->tag, tag);
        EXPECT_EQ(answer->payload.description(), response.description());
    }
    auto failed = answers->next();
    ASSERT_TRUE(failed && failed->payload.get<ServerResponse::RequestHasFailed>());
    EXPECT_EQ(failed->payload.get<ServerResponse::RequestHasFailed>()->error, VKError::serverError);
    EXPECT_EQ(answers->size(), 0u);
    EXPECT_EQ(completed->size(), 0u);
}

// A request that cannot travel is refused at once, and the transport stays. A caller whose answer
// arrives unreadable, but with its tag, fails with serverError at once rather than waiting out its
// time-out: an update result that is none, bytes that are text.
TEST_F(TransportTest, UnsendableRequestsAndUnreadableAnswersFailTheirCallerAtOnce) {
    auto adapter = makeAdapter();
    auto refused =
        adapter->sync(ClientRequest::FetchSettings{std::string("bad\0domain", 10), 501, "", false});
    ASSERT_TRUE(refused.get<ServerResponse::RequestHasFailed>());
    EXPECT_EQ(refused.get<ServerResponse::RequestHasFailed>()->error, VKError::invalidData);
    auto client = clientName();
    const std::pair<const char*, std::function<void(sd_bus_message*)>> unreadable[] = {
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
        daemon->sendRaw(client, member, received->request->tag, fill);
        EXPECT_EQ(call.get(), VKError::serverError) << member;
    }
}
