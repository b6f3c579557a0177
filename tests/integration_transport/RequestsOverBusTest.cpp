#include <gtest/gtest.h>

#include <numeric>

#include "channel/VirtualChannelSyncAdapter.h"
#include "internals/SettingsService.h"
#include "support/TransportFixture.h"

using namespace velkor;
using velkor::test::TransportFixture;

namespace {

using SyncAdapter = VirtualChannelSyncAdapter<VirtualChannelToServer>;

const UUID kId = *UUID::parse("0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF");

class RequestsOverBusTest : public TransportFixture {};

TEST_F(RequestsOverBusTest, EachRequestReachesTheDaemonAsItsOneWayCall) {
    auto change = std::make_shared<const VKChangeNotification>(
        ChangeType::childMoved, kId, 12, 3, 1, "key", std::vector<std::uint8_t>{4, 5});
    std::vector<ClientRequest> requests{
        ClientRequest::CreateSettings{Blob(std::vector<std::uint8_t>{1, 2, 3}), "a.b", 501},
        ClientRequest::FetchSettings{"a.b", 501, "x/y", true},
        ClientRequest::UpdateSettings{change},
        ClientRequest::ResolveSettings{kId, false},
        ClientRequest::DeleteSettings{"a.b", 1},
        ClientRequest::SetHasSubscription{kId, true},
    };
    std::vector<UUID> tags;
    for (const auto& request : requests) {
        tags.push_back(UUID::random());
        transport->virtualChannel()->onNext({tags.back(), request});
    }

    std::string sender;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        auto received = daemon->nextRequest();
        ASSERT_TRUE(received);
        EXPECT_EQ(received->member, SettingsRequestService::kMembers[i]);
        EXPECT_EQ(received->signature, SettingsRequestService::kSignatures[i]);
        ASSERT_TRUE(received->request) << received->member;
        EXPECT_EQ(received->request->tag, tags[i]);
        EXPECT_EQ(received->request->payload.description(), requests[i].description());
        if (i == 0) {
            sender = received->sender;
            EXPECT_EQ(received->request->payload.get<ClientRequest::CreateSettings>()->data,
                      requests[0].get<ClientRequest::CreateSettings>()->data);
        }
        if (i == 2) {
            EXPECT_EQ(*received->request->payload.get<ClientRequest::UpdateSettings>()->change,
                      *change);
        }
        EXPECT_EQ(received->sender, sender);  // one connection per transport
    }
    EXPECT_TRUE(transport->connectionDescription().ends_with(" via " + sender));
}

TEST_F(RequestsOverBusTest, FourMebibyteBlobsTravelBothWays) {
    // Answers a created tree with the same bytes in reverse order.
    start([](const ClientRequest& request) -> std::optional<ServerResponse> {
        const auto* create = request.get<ClientRequest::CreateSettings>();
        if (!create)
            return std::nullopt;
        auto bytes = create->data.bytes();
        return ServerResponse::SettingsFetched{
            Blob(std::vector<std::uint8_t>(bytes.rbegin(), bytes.rend()))};
    });
    std::vector<std::uint8_t> bytes(4u << 20);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{7});
    for (std::size_t i = 0; i < bytes.size(); i += 4099)
        bytes[i] ^= static_cast<std::uint8_t>(i >> 12);

    auto adapter = SyncAdapter::make(transport->virtualChannel(), std::chrono::seconds(20));
    auto answer = adapter->sync(ClientRequest::CreateSettings{Blob(bytes), "big", 501});

    auto received = daemon->nextRequest();
    ASSERT_TRUE(received && received->request);
    EXPECT_EQ(received->request->payload.get<ClientRequest::CreateSettings>()->data, Blob(bytes));
    const auto* fetched = answer.get<ServerResponse::SettingsFetched>();
    ASSERT_TRUE(fetched);
    EXPECT_EQ(fetched->data, Blob(std::vector<std::uint8_t>(bytes.rbegin(), bytes.rend())));
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
    const std::string ignored = "Ignoring '%@' signal from " + impostor.uniqueName() +
                                ", which does not own 'org.velkor.SettingsDaemon'.";
    auto line = [&](const char* member) {
        auto text = ignored;
        return text.replace(text.find("%@"), 2, member);
    };
    EXPECT_EQ(lines(LogLevel::warning, line("settingsDeletedWithTag")), 1u);
    EXPECT_EQ(lines(LogLevel::warning, line("noteChangesWithTag")), 1u);
    EXPECT_EQ(linesStartingWith(LogLevel::debug, "Got 'settingsDeleted'"), 0u);
    EXPECT_EQ(answers->completions(), 0);
}

}  // namespace
