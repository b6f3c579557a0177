#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "channel/ServiceNameOwner.h"
#include "support/ErrorOf.h"
#include "support/OnThreads.h"
#include "support/TransportFixture.h"

using namespace velkor;
using namespace std::chrono_literals;
using test::errorOf;
using TransportTest = test::TransportFixture;

namespace {

const UUID kId = *UUID::parse("0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF");

using Adapter = VirtualChannelSyncAdapter<VirtualChannelToServer>;

ClientRequest fetch(const std::string& path) {
    return ClientRequest::FetchSettings{"domain", 501, path, false};
}

/// An adapter on a channel, with the requests that reach the channel's transport side and what
/// the adapter hands out as notifications.
struct Channel {
    explicit Channel(std::chrono::milliseconds timeout = 1h) {
        requests = scoped(channel->requestSubject.asObservable().subscribe(
            [this](const Tagged<ClientRequest>& m) { sent.push(m); }));
        adapter = Adapter::make(channel, timeout);
        adapter->notificationsSubject.asObservable().subscribe(
            [this](const ServerResponse& r) { notified.push(r.description()); });
    }
    void answer(const UUID& tag, const ServerResponse& response) {
        channel->responseSubject.onNext({tag, response});
    }

    std::shared_ptr<VirtualChannelToServer> channel = std::make_shared<VirtualChannelToServer>();
    test::BlockingQueue<Tagged<ClientRequest>> sent;
    test::BlockingQueue<std::string> notified;
    Subscription requests;
    std::shared_ptr<Adapter> adapter;
};

}  // namespace

// Eight threads wait at once; each fetch of path P is answered, on the requesting thread while it
// sends, with the bytes of P.
TEST(SyncAdapter, MatchesAnswersByTagForManyThreadsAtOnce) {
    Channel c(10s);
    auto echo = scoped(c.channel->requestSubject.asObservable().subscribe([&](const auto& m) {
        const auto& path = m.payload.template get<ClientRequest::FetchSettings>()->path;
        c.answer(m.tag, ServerResponse::SettingsFetched{
                            Blob(reinterpret_cast<const std::uint8_t*>(path.data()), path.size())});
    }));
    std::atomic<int> mismatches{0};
    test::onThreads(8, [&](int t) {
        for (int i = 0; i < 300; ++i) {
            auto path = std::to_string(t) + "/" + std::to_string(i);
            auto answer = c.adapter->sync(fetch(path));
            auto* got = answer.get<ServerResponse::SettingsFetched>();
            mismatches += !got || std::string(reinterpret_cast<const char*>(got->data.data()),
                                              got->data.size()) != path;
        }
    });
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(c.notified.size(), 0u);
}

// What no caller waits for is a notification: a message for a tag nobody sent, one the daemon
// pushes, a second answer to one request, an answer to a caller that timed out or whose request
// could not be sent.
TEST(SyncAdapter, AnswersNoCallerWaitsForBecomeNotifications) {
    test::LogCapture capture;
    Channel c(2s);
    c.answer(UUID::random(), ServerResponse::NoteChanges{{}, {}});

    // A slow answer, well within the time-out, still reaches its caller.
    std::thread answerTwice([&] {
        auto tag = c.sent.next()->tag;
        std::this_thread::sleep_for(200ms);
        c.answer(tag, ServerResponse::SettingsUpdated{ChangeResult::done, 1});
        c.answer(tag, ServerResponse::SettingsUpdated{ChangeResult::done, 2});
    });
    std::string answer;
    auto error = errorOf([&] { answer = c.adapter->sync(fetch("x")).description(); });
    answerTwice.join();
    EXPECT_FALSE(error);
    EXPECT_EQ(answer, "settingsUpdated(done, newRev=1)");

    auto unsendable = scoped(c.channel->requestSubject.asObservable().subscribe(
        [](const auto&) { throw std::runtime_error("no buffer space"); }));
    EXPECT_EQ(errorOf([&] { c.adapter->sync(fetch("unsendable")); }), VKError::connectionLost);
    unsendable.dispose();
    c.answer(c.sent.next()->tag, ServerResponse::RequestSucceeded{});

    Channel slow(30ms);
    EXPECT_EQ(errorOf([&] { slow.adapter->sync(fetch("slow")); }), VKError::connectionLost);
    slow.answer(slow.sent.next()->tag, ServerResponse::RequestSucceeded{});

    for (const char* expected :
         {"noteChanges([], [])", "settingsUpdated(done, newRev=2)", "requestSucceeded"})
        EXPECT_EQ(c.notified.next(), expected);
    EXPECT_EQ(slow.notified.next(), "requestSucceeded");
}

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
            return errorOf([&] { adapter->sync(ClientRequest::DeleteSettings{"d", 1}); });
        });
        auto received = daemon->nextRequest();
        ASSERT_TRUE(received && received->request);
        daemon->sendRaw(client, member, received->request->tag, fill);
        EXPECT_EQ(call.get(), VKError::serverError) << member;
    }
}

// Known from the bus's answer, or gained by activation: only that owner leaving ends it, also when
// the name passes straight to another; a lost name is never taken as owned again.
TEST(ServiceNameOwnerTest, OnlyTheKnownOwnerLeavingEndsIt) {
    using Change = ServiceNameOwner::Change;
    ServiceNameOwner known(":1.7");
    // Stale: an earlier owner vanishing, the known owner arriving; and nothing changing hands.
    EXPECT_EQ(known.apply(":1.3", ""), Change::none);
    EXPECT_EQ(known.apply("", ":1.7"), Change::none);
    EXPECT_EQ(known.apply(":1.7", ":1.7"), Change::none);
    EXPECT_TRUE(known.isOwner(":1.7"));
    EXPECT_FALSE(known.isOwner(":1.8"));
    EXPECT_EQ(known.apply(":1.7", ":1.9"), Change::lost);
    EXPECT_FALSE(known.isOwner(":1.9"));
    EXPECT_EQ(known.apply("", ":1.10"), Change::none);
    EXPECT_FALSE(known.isOwner(":1.10"));

    ServiceNameOwner activated;
    EXPECT_FALSE(activated.isOwner(""));
    EXPECT_EQ(activated.apply("", ""), Change::none);
    EXPECT_EQ(activated.apply("", ":1.4"), Change::acquired);
    EXPECT_TRUE(activated.isOwner(":1.4"));
    EXPECT_EQ(activated.apply(":1.4", ""), Change::lost);
    EXPECT_FALSE(activated.isOwner(":1.4"));
}
