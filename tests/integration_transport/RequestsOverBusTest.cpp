#include <gtest/gtest.h>

#include <thread>

#include "channel/VirtualChannelSyncAdapter.h"
#include "support/TransportFixture.h"

using namespace velkor;
using velkor::test::TransportFixture;

namespace {

class RequestsOverBusTest : public TransportFixture {};

}  // namespace

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
        sender = i == 0 ? received->sender : sender;
        EXPECT_EQ(received->sender, sender);
    }
    EXPECT_TRUE(transport->connectionDescription().ends_with(" via " + sender));
}

// Any peer can address a signal to the client; only the name's owner answers.
TEST_F(RequestsOverBusTest, AnswersFromAPeerThatDoesNotOwnTheNameAreIgnored) {
    test::FakeBusDaemon impostor(bus.address(), "org.velkor.Impostor");
    auto adapter = VirtualChannelSyncAdapter<VirtualChannelToServer>::make(
        transport->virtualChannel(), std::chrono::hours(1));
    std::optional<ServerResponse> answer;
    std::thread caller([&] {
        answer = adapter->sync(ClientRequest::DeleteSettings{"victim.domain", 501});
    });

    auto request = daemon->nextRequest();
    ASSERT_TRUE(request && request->request);
    impostor.answer(request->sender, request->request->tag,
                    ServerResponse::SettingsDeleted{UUID::random()});
    impostor.answer(request->sender, UUID::random(), ServerResponse::NoteChanges{{}, {}});
    daemon->answer(request->sender, request->request->tag,
                   ServerResponse::RequestHasFailed{VKError::fileDoesNotExist});
    caller.join();

    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->get<ServerResponse::RequestHasFailed>());
    EXPECT_EQ(lines(LogLevel::warning, "Ignoring 'settingsDeletedWithTag' signal from " +
                                           impostor.uniqueName() +
                                           ", which does not own 'org.velkor.SettingsDaemon'."),
              1u);
    auto reached = answers->next();
    ASSERT_TRUE(reached);
    EXPECT_EQ(reached->tag, request->request->tag);
    EXPECT_EQ(answers->pending(), 0u);
}
