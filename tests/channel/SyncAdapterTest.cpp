#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "channel/VirtualChannelSyncAdapter.h"
#include "channel/VirtualChannelToServer.h"
#include "support/BlockingQueue.h"
#include "support/ErrorOf.h"
#include "support/LogCapture.h"
#include "support/OnThreads.h"
#include "velkor/Subscription.h"

using namespace velkor;
using namespace std::chrono_literals;
using test::errorOf;

namespace {

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
