#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "channel/VirtualChannelSyncAdapter.h"
#include "channel/VirtualChannelToServer.h"
#include "support/BlockingQueue.h"
#include "support/ErrorOf.h"
#include "support/LogCapture.h"

using namespace velkor;
using namespace std::chrono_literals;
using test::errorOf;

namespace {

using Adapter = VirtualChannelSyncAdapter<VirtualChannelToServer>;

ClientRequest fetch(const std::string& path) {
    return ClientRequest::FetchSettings{"domain", 501, path, false};
}

/// A channel with the requests that reach its transport side, and what the adapter hands out as
/// notifications.
struct Channel {
    explicit Channel(std::chrono::milliseconds timeout = 1h) {
        requests = channel->requestSubject.asObservable().subscribe(
            [this](const Tagged<ClientRequest>& m) { sent.push(m); }, {},
            [this] { completed = true; });
        adapter = Adapter::make(channel, timeout);
        adapter->notificationsSubject.asObservable().subscribe(
            [this](const ServerResponse& r) {
                std::lock_guard lock(mutex);
                notified.push_back(r.description());
            },
            {}, [this] { notificationsCompleted = true; });
    }
    ~Channel() { requests->dispose(); }

    void answer(const UUID& tag, const ServerResponse& response) {
        channel->responseSubject.onNext({tag, response});
    }
    /// The tag of the next request sent.
    UUID nextTag() { return sent.next()->tag; }
    std::vector<std::string> notifications() {
        std::lock_guard lock(mutex);
        return notified;
    }

    std::shared_ptr<VirtualChannelToServer> channel = std::make_shared<VirtualChannelToServer>();
    test::BlockingQueue<Tagged<ClientRequest>> sent;
    std::atomic<bool> completed{false}, notificationsCompleted{false};
    std::mutex mutex;
    std::vector<std::string> notified;
    rx::DisposablePtr requests;
    std::shared_ptr<Adapter> adapter;
};

std::string blobText(const ServerResponse& r) {
    auto* fetched = r.get<ServerResponse::SettingsFetched>();
    return fetched ? std::string(reinterpret_cast<const char*>(fetched->data.data()),
                                 fetched->data.size())
                   : "<not fetched>";
}

}  // namespace

TEST(SyncAdapter, MatchesAnswersByTagForManyThreadsAtOnce) {
    Channel c(10s);
    // Answers each fetch of path P with the bytes of P, from its own thread.
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
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                auto path = std::to_string(t) + "/" + std::to_string(i);
                mismatches += blobText(c.adapter->sync(fetch(path))) != path;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    c.sent.push({UUID::zero(), fetch("")});
    server.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_TRUE(c.notifications().empty());
}

// What no caller waits for is a notification: a message for a tag nobody sent, one the daemon
// pushes, a second answer to one request, an answer to a caller that timed out or whose request
// could not be sent.
TEST(SyncAdapter, AnswersNoCallerWaitsForBecomeNotifications) {
    test::LogCapture capture;
    Channel c(2s);
    c.answer(UUID::random(), ServerResponse::RequestSucceeded{});
    c.answer(UUID::random(), ServerResponse::NoteChanges{{}, {}});

    // A slow answer, well within the time-out, still reaches its caller.
    std::thread answerTwice([&] {
        auto tag = c.nextTag();
        std::this_thread::sleep_for(200ms);
        c.answer(tag, ServerResponse::SettingsUpdated{ChangeResult::done, 1});
        c.answer(tag, ServerResponse::SettingsUpdated{ChangeResult::done, 2});
    });
    std::string answer;
    auto error = errorOf([&] { answer = c.adapter->sync(fetch("x")).description(); });
    answerTwice.join();
    EXPECT_FALSE(error);
    EXPECT_EQ(answer, "settingsUpdated(done, newRev=1)");

    auto unsendable = c.channel->requestSubject.asObservable().subscribe([](const auto& m) {
        if (m.payload.template get<ClientRequest::FetchSettings>()->path == "unsendable")
            throw std::runtime_error("no buffer space");
    });
    EXPECT_EQ(errorOf([&] { c.adapter->sync(fetch("unsendable")); }), VKError::connectionLost);
    unsendable->dispose();
    c.answer(c.nextTag(), ServerResponse::SettingsDeleted{});

    Channel slow(30ms);
    EXPECT_EQ(errorOf([&] { slow.adapter->sync(fetch("slow")); }), VKError::connectionLost);
    EXPECT_EQ(capture->count(LogLevel::error, "Timeout waiting for response on: fetchSettings("),
              1u);
    slow.answer(slow.nextTag(), ServerResponse::RequestSucceeded{});

    EXPECT_EQ(c.notifications(),
              (std::vector<std::string>{"requestSucceeded", "noteChanges([], [])",
                                        "settingsUpdated(done, newRev=2)",
                                        "settingsDeleted(rootId=" + UUID().description() + ")"}));
    EXPECT_EQ(slow.notifications(), std::vector<std::string>{"requestSucceeded"});
}

// The adapter's time-out is far beyond the test's: callers can only come back through the end.
TEST(SyncAdapter, TheChannelsEndOrShutdownReleasesEveryWaiterAndLaterCallsSendNothing) {
    for (bool channelEnds : {true, false}) {
        Channel c;
        std::atomic<int> lost{0};
        std::vector<std::thread> callers;
        for (int i = 0; i < 3; ++i)
            callers.emplace_back([&] {
                lost += errorOf([&] { c.adapter->sync(fetch("w")); }) == VKError::connectionLost;
            });
        for (int i = 0; i < 3; ++i)
            c.nextTag();
        if (channelEnds)
            c.channel->responseSubject.onCompleted();
        else
            c.adapter->shutdown();
        for (auto& caller : callers)
            caller.join();
        c.adapter->shutdown();
        EXPECT_EQ(lost.load(), 3);
        EXPECT_TRUE(c.completed) << "the adapter completes the request stream";
        EXPECT_TRUE(c.notificationsCompleted);
        EXPECT_EQ(errorOf([&] { c.adapter->sync(fetch("after")); }), VKError::connectionLost);
        EXPECT_FALSE(c.sent.next(0ms)) << "nothing is sent after the end";
        c.adapter.reset();
        c.answer(UUID::random(), ServerResponse::RequestSucceeded{});  // dropped once gone
    }
}

TEST(SyncAdapter, ShutdownRacingCallersNeverStrandsOne) {
    // Callers that register while the adapter shuts down either fail at once or are released;
    // none waits for its (long) time-out.
    test::LogCapture capture;
    for (int round = 0; round < 50; ++round) {
        auto adapter = Adapter::make(std::make_shared<VirtualChannelToServer>(), 1h);
        std::atomic<int> failed{0};
        std::vector<std::thread> callers;
        for (int i = 0; i < 4; ++i)
            callers.emplace_back(
                [&] { failed += errorOf([&] { adapter->sync(fetch("r")); }).has_value(); });
        adapter->shutdown();
        for (auto& c : callers)
            c.join();
        EXPECT_EQ(failed.load(), 4);
    }
}

TEST(VirtualChannelToServerTest, ForwardsRequestsAndAClientErrorEndsTheStream) {
    test::LogCapture capture;
    Channel c;
    auto tag = UUID::random();
    c.channel->onNext({tag, ClientRequest::DeleteSettings{"d", 1}});
    EXPECT_EQ(c.nextTag(), tag);
    c.channel->onError(std::make_exception_ptr(VKError(VKError::serverError)));
    EXPECT_TRUE(c.completed) << "an error completes the request stream without passing it on";
}
