#include <gtest/gtest.h>

#include "channel/VirtualChannelSyncAdapter.h"
#include "support/TransportFixture.h"

using namespace velkor;
using velkor::test::TransportFixture;

namespace {

using SyncAdapter = VirtualChannelSyncAdapter<VirtualChannelToServer>;

class RequestsOverBusTest : public TransportFixture {};

TEST_F(RequestsOverBusTest, RequestsReachTheDaemonInOrderWithTheirTagsFromOneConnection) {
    std::vector<UUID> tags;
    for (int i = 0; i < 5; ++i) {
        tags.push_back(UUID::random());
        transport->virtualChannel()->onNext(
            {tags.back(), ClientRequest::DeleteSettings{"d" + std::to_string(i), 501}});
    }

    std::string sender;
    for (std::size_t i = 0; i < tags.size(); ++i) {
        auto received = daemon->nextRequest();
        ASSERT_TRUE(received && received->request);
        EXPECT_EQ(received->request->tag, tags[i]);
        EXPECT_EQ(received->request->payload.description(),
                  "deleteSettings(501@d" + std::to_string(i) + ")");
        if (i == 0)
            sender = received->sender;
        EXPECT_EQ(received->sender, sender);  // one connection per transport
    }
    EXPECT_TRUE(transport->connectionDescription().ends_with(" via " + sender));
}

TEST_F(RequestsOverBusTest, AnswersFromAPeerThatDoesNotOwnTheNameAreIgnoredAndLogged) {
    test::FakeBusDaemon impostor(bus.address(), "org.velkor.Impostor");
    auto adapter = SyncAdapter::make(transport->virtualChannel(), std::chrono::seconds(10));
    std::optional<ServerResponse> answer;
    std::thread caller([&] {
        answer = adapter->sync(ClientRequest::DeleteSettings{"victim.domain", 501});
    });

    auto request = daemon->nextRequest();
    ASSERT_TRUE(request && request->request);
    // The impostor knows whom to address and the tag, and answers first.
    impostor.answer(request->sender, request->request->tag,
                    ServerResponse::SettingsDeleted{UUID::random()});
    impostor.answer(request->sender, UUID::random(), ServerResponse::NoteChanges{{}, {}});
    daemon->answer(request->sender, request->request->tag,
                   ServerResponse::RequestHasFailed{VKError::fileDoesNotExist});
    caller.join();

    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->description(),
              "requestHasFailed(A settings file does not exists (or cannot be accessed).)");
    EXPECT_EQ(lines(LogLevel::warning, "Ignoring 'settingsDeletedWithTag' signal from " +
                                           impostor.uniqueName() +
                                           ", which does not own 'org.velkor.SettingsDaemon'."),
              1u);
    // Only the owner's answer reached the channel.
    auto reached = answers->next();
    ASSERT_TRUE(reached);
    EXPECT_EQ(reached->tag, request->request->tag);
    EXPECT_EQ(answers->pending(), 0u);
    EXPECT_EQ(answers->completions(), 0);
}

}  // namespace
