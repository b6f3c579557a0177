#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "channel/VirtualChannelSyncAdapter.h"
#include "channel/VirtualChannelToServer.h"
#include "support/LogCapture.h"

using namespace velkor;
using namespace std::chrono_literals;

namespace {

using Adapter = VirtualChannelSyncAdapter<VirtualChannelToServer>;

ClientRequest fetch(const std::string& path) {
    return ClientRequest::FetchSettings{"domain", 501, path, false};
}

/// Records the requests that reach the transport side of a channel.
struct RequestLog {
    explicit RequestLog(VirtualChannelToServer& channel) {
        subscription = channel.requestSubject.asObservable().subscribe(
            [this](const Tagged<ClientRequest>& m) {
                std::lock_guard lock(mutex);
                requests.push_back(m);
                arrived.notify_all();
            },
            {}, [this] { completed = true; });
    }
    ~RequestLog() { subscription->dispose(); }

    Tagged<ClientRequest> waitForRequest(std::size_t index) {
        std::unique_lock lock(mutex);
        arrived.wait(lock, [&] { return requests.size() > index; });
        return requests[index];
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return requests.size();
    }

    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Tagged<ClientRequest>> requests;
    std::atomic<bool> completed{false};
    rx::DisposablePtr subscription;
};

/// Answers every request from its own thread: a fetch of path P is answered with a blob of
/// the bytes of P, so that each caller can check it got its own answer.
class EchoServer {
  public:
    explicit EchoServer(VirtualChannelToServer& channel) : channel_(channel) {
        subscription_ =
            channel.requestSubject.asObservable().subscribe([this](const Tagged<ClientRequest>& m) {
                std::lock_guard lock(mutex_);
                queue_.push_back(m);
                wake_.notify_one();
            });
        thread_ = std::thread([this] { run(); });
    }
    ~EchoServer() {
        subscription_->dispose();
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

  private:
    void run() {
        for (;;) {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (stop_)
                return;
            auto m = queue_.front();
            queue_.pop_front();
            lock.unlock();
            const auto& path = m.payload.get<ClientRequest::FetchSettings>()->path;
            channel_.responseSubject.onNext(
                {m.tag, ServerResponse::SettingsFetched{Blob(
                            reinterpret_cast<const std::uint8_t*>(path.data()), path.size())}});
        }
    }

    VirtualChannelToServer& channel_;
    rx::DisposablePtr subscription_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Tagged<ClientRequest>> queue_;
    bool stop_ = false;
    std::thread thread_;
};

std::string blobText(const ServerResponse& r) {
    auto* fetched = r.get<ServerResponse::SettingsFetched>();
    if (!fetched)
        return "<not fetched>";
    return std::string(reinterpret_cast<const char*>(fetched->data.data()), fetched->data.size());
}

}  // namespace

TEST(SyncAdapter, MatchesAnswersByTagForManyThreadsAtOnce) {
    auto channel = std::make_shared<VirtualChannelToServer>();
    EchoServer server(*channel);
    auto adapter = Adapter::make(channel, 10s);
    std::atomic<int> notifications{0};
    adapter->notificationsSubject.asObservable().subscribe(
        [&](const ServerResponse&) { ++notifications; });

    constexpr int kThreads = 8;
    constexpr int kCalls = 300;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                auto path = std::to_string(t) + "/" + std::to_string(i);
                if (blobText(adapter->sync(fetch(path))) != path)
                    ++mismatches;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(notifications.load(), 0);
}

TEST(SyncAdapter, UnclaimedMessagesBecomeNotificationsAndDuplicateAnswersReleaseOnce) {
    test::LogCapture capture;
    auto channel = std::make_shared<VirtualChannelToServer>();
    RequestLog log(*channel);
    auto adapter = Adapter::make(channel, 10s);
    std::mutex mutex;
    std::vector<std::string> notified;
    adapter->notificationsSubject.asObservable().subscribe([&](const ServerResponse& r) {
        std::lock_guard lock(mutex);
        notified.push_back(r.description());
    });

    // A message for a tag nobody sent, and one the daemon pushes on its own.
    channel->responseSubject.onNext({UUID::random(), ServerResponse::RequestSucceeded{}});
    channel->responseSubject.onNext({UUID::random(), ServerResponse::NoteChanges{{}, {}}});

    std::thread answerTwice([&] {
        auto request = log.waitForRequest(0);
        channel->responseSubject.onNext(
            {request.tag, ServerResponse::SettingsUpdated{ChangeResult::done, 1}});
        channel->responseSubject.onNext(
            {request.tag, ServerResponse::SettingsUpdated{ChangeResult::done, 2}});
    });
    auto answer = adapter->sync(fetch("x"));
    answerTwice.join();
    EXPECT_EQ(answer.description(), "settingsUpdated(done, newRev=1)");

    // A channel that throws while sending: the caller gets the library's error, and no longer
    // waits for an answer, so one arriving under its tag is a notification.
    auto unsendable = channel->requestSubject.asObservable().subscribe([](const auto& m) {
        if (m.payload.template get<ClientRequest::FetchSettings>()->path == "unsendable")
            throw std::runtime_error("no buffer space");
    });
    try {
        adapter->sync(fetch("unsendable"));
        ADD_FAILURE() << "expected connectionLost";
    } catch (const VKError& e) {
        EXPECT_EQ(e, VKError::connectionLost);
    }
    unsendable->dispose();
    channel->responseSubject.onNext({log.waitForRequest(1).tag, ServerResponse::SettingsDeleted{}});

    std::lock_guard lock(mutex);
    EXPECT_EQ(notified,
              (std::vector<std::string>{"requestSucceeded", "noteChanges([], [])",
                                        "settingsUpdated(done, newRev=2)",
                                        "settingsDeleted(rootId=" + UUID().description() + ")"}));
}

TEST(SyncAdapter, TimeOutThrowsConnectionLostAndTheLateAnswerIsANotification) {
    test::LogCapture capture;
    auto channel = std::make_shared<VirtualChannelToServer>();
    RequestLog log(*channel);
    auto adapter = Adapter::make(channel, 30ms);
    std::vector<std::string> notified;
    adapter->notificationsSubject.asObservable().subscribe(
        [&](const ServerResponse& r) { notified.push_back(r.description()); });

    try {
        adapter->sync(fetch("slow"));
        FAIL() << "expected a time-out";
    } catch (const VKError& e) {
        EXPECT_EQ(e, VKError::connectionLost);
    }
    EXPECT_EQ(
        capture->count(LogLevel::error,
                       "Timeout waiting for response on: fetchSettings(501@domain, path='slow', "
                       "recursive=false)"),
        1u);
    channel->responseSubject.onNext(
        {log.waitForRequest(0).tag, ServerResponse::RequestSucceeded{}});
    EXPECT_EQ(notified, std::vector<std::string>{"requestSucceeded"});
}

TEST(SyncAdapter, ChannelEndReleasesEveryWaiterAndLaterCallsFailWithoutSending) {
    test::LogCapture capture;
    auto channel = std::make_shared<VirtualChannelToServer>();
    RequestLog log(*channel);
    // A time-out far beyond the test's own limit: callers can only come back through the end.
    auto adapter = Adapter::make(channel, 1h);
    std::atomic<bool> notificationsCompleted{false};
    adapter->notificationsSubject.asObservable().subscribe({}, {},
                                                           [&] { notificationsCompleted = true; });

    constexpr int kWaiters = 3;
    std::atomic<int> lost{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < kWaiters; ++i) {
        callers.emplace_back([&, i] {
            try {
                adapter->sync(fetch(std::to_string(i)));
            } catch (const VKError& e) {
                if (e == VKError::connectionLost)
                    ++lost;
            }
        });
    }
    for (int i = 0; i < kWaiters; ++i)
        log.waitForRequest(static_cast<std::size_t>(i));
    channel->responseSubject.onCompleted();
    for (auto& c : callers)
        c.join();

    EXPECT_EQ(lost.load(), kWaiters);
    EXPECT_TRUE(log.completed) << "the adapter completes the request stream";
    EXPECT_TRUE(notificationsCompleted);
    EXPECT_EQ(capture->count(LogLevel::warning,
                             "Channel has been completed (orginal request: fetchSettings("),
              static_cast<std::size_t>(kWaiters));

    EXPECT_THROW(adapter->sync(fetch("after")), VKError);
    EXPECT_EQ(log.count(), static_cast<std::size_t>(kWaiters)) << "nothing is sent after the end";
    EXPECT_EQ(
        capture->count(LogLevel::error,
                       "Can't send request due shutdown: fetchSettings(501@domain, path='after'"),
        1u);
    EXPECT_EQ(capture->count("Service response channel has completed."), 1u);
}

TEST(SyncAdapter, ShutdownRunsOnceAndReleasesWaiters) {
    test::LogCapture capture;
    auto channel = std::make_shared<VirtualChannelToServer>();
    RequestLog log(*channel);
    {
        auto adapter = Adapter::make(channel, 1h);
        std::thread caller([&] { EXPECT_THROW(adapter->sync(fetch("w")), VKError); });
        log.waitForRequest(0);
        adapter->shutdown();
        caller.join();
        adapter->shutdown();
    }
    EXPECT_EQ(capture->count(LogLevel::trace, "Completing VirtualChannelSyncAdapter..."), 1u);
    EXPECT_EQ(capture->count(LogLevel::trace, "VirtualChannelSyncAdapter destructed."), 1u);
    EXPECT_TRUE(log.completed);
    // A message after the adapter is gone is dropped silently.
    channel->responseSubject.onNext({UUID::random(), ServerResponse::RequestSucceeded{}});
}

TEST(SyncAdapter, ShutdownRacingCallersNeverStrandsOne) {
    // Callers that register while the adapter shuts down either fail at once or are released;
    // none waits for its (long) time-out.
    test::LogCapture capture;
    for (int round = 0; round < 50; ++round) {
        auto channel = std::make_shared<VirtualChannelToServer>();
        auto adapter = Adapter::make(channel, 1h);
        std::vector<std::thread> callers;
        std::atomic<int> failed{0};
        for (int i = 0; i < 4; ++i) {
            callers.emplace_back([&] {
                try {
                    adapter->sync(fetch("r"));
                } catch (const VKError&) {
                    ++failed;
                }
            });
        }
        adapter->shutdown();
        for (auto& c : callers)
            c.join();
        EXPECT_EQ(failed.load(), 4);
    }
}

TEST(VirtualChannelToServerTest, LogsAndForwardsClientEvents) {
    test::LogCapture capture;
    VirtualChannelToServer channel;
    RequestLog log(channel);
    auto tag = *UUID::parse("11111111-2222-4333-8444-555555555555");
    channel.onNext({tag, ClientRequest::DeleteSettings{"d", 1}});
    EXPECT_EQ(log.waitForRequest(0).tag, tag);
    EXPECT_EQ(
        capture->count(LogLevel::debug,
                       "Request on server channel: (tag=11111111-2222-4333-8444-555555555555, "
                       "deleteSettings(1@d))"),
        1u);
    channel.onError(std::make_exception_ptr(VKError(VKError::serverError)));
    EXPECT_EQ(
        capture->count(LogLevel::error, "Client failed server channel: Error on server side."), 1u);
    EXPECT_TRUE(log.completed) << "an error completes the request stream without passing it on";
}
