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
            [this](const Tagged<ClientRequest>& m) { sent.push(m); }, {},
            [this] { completed = true; }));
        adapter = Adapter::make(channel, timeout);
        adapter->notificationsSubject.asObservable().subscribe(
            [this](const ServerResponse& r) { notified.push(r.description()); }, {},
            [this] { notificationsCompleted = true; });
    }
    void answer(const UUID& tag, const ServerResponse& response) {
        channel->responseSubject.onNext({tag, response});
    }

    std::shared_ptr<VirtualChannelToServer> channel = std::make_shared<VirtualChannelToServer>();
    test::BlockingQueue<Tagged<ClientRequest>> sent;
    test::BlockingQueue<std::string> notified;
    std::atomic<bool> completed{false}, notificationsCompleted{false};
    Subscription requests;
    std::shared_ptr<Adapter> adapter;
};

}  // namespace

// Eight threads wait at once; a server thread answers each fetch of path P with the bytes of P.
TEST(SyncAdapter, MatchesAnswersByTagForManyThreadsAtOnce) {
    Channel c(10s);
    std::thread server([&] {
        while (auto m = c.sent.next()) {
            if (m->tag.isZero())
                return;
            const auto& path = m->payload.get<ClientRequest::FetchSettings>()->path;
            c.answer(m->tag, ServerResponse::SettingsFetched{Blob(
                                 reinterpret_cast<const std::uint8_t*>(path.data()), path.size())});
        }
    });
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
    c.sent.push({UUID::zero(), fetch("")});
    server.join();
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

    auto unsendable = scoped(c.channel->requestSubject.asObservable().subscribe([](const auto& m) {
        if (m.payload.template get<ClientRequest::FetchSettings>()->path == "unsendable")
            throw std::runtime_error("no buffer space");
    }));
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

// The time-out is far beyond the test's: callers come back only through the channel's end, its
// error or the adapter's shutdown; nothing is sent after it.
TEST(SyncAdapter, TheChannelsEndOrShutdownReleasesEveryWaiterAndLaterCallsSendNothing) {
    test::LogCapture capture;
    for (int end = 0; end < 3; ++end) {
        SCOPED_TRACE(end);
        Channel c;
        std::atomic<int> lost{0};
        std::thread waiting([&] {
            test::onThreads(3, [&](int) {
                lost += errorOf([&] { c.adapter->sync(fetch("w")); }) == VKError::connectionLost;
            });
        });
        for (int i = 0; i < 3; ++i)
            c.sent.next();
        if (end == 0)
            c.channel->responseSubject.onCompleted();
        if (end == 1) {
            c.channel->onError(std::make_exception_ptr(VKError(VKError::serverError)));
            EXPECT_TRUE(c.completed) << "a client error completes the request stream";
        }
        if (end > 0)
            c.adapter->shutdown();
        waiting.join();
        EXPECT_EQ(lost.load(), 3);
        EXPECT_TRUE(c.completed) << "the request stream completes";
        EXPECT_TRUE(c.notificationsCompleted);
        EXPECT_EQ(errorOf([&] { c.adapter->sync(fetch("after")); }), VKError::connectionLost);
        EXPECT_FALSE(c.sent.next(0ms)) << "nothing is sent after the end";
        c.adapter.reset();
        c.answer(UUID::random(), ServerResponse::RequestSucceeded{});  // dropped once gone
    }
}
