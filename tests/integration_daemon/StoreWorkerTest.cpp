#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus/EventLoop.h"
#include "bus/StoreWorker.h"

using namespace velkor;
using namespace velkor::daemon;
using namespace std::chrono_literals;

namespace {

/// A store that notes the clients of each call it is given ("a,b,c"), and the clients gone
/// ("gone x"). Catching up, its first call waits until the test lets it go and then applies
/// nothing, as the fleet's store does when it had to catch up with another machine first; later
/// calls answer every request. Otherwise its changes (creations) wait until the test lets them
/// go, and its reads (fetches) are answered at once.
class FakeStore : public Store {
  public:
    explicit FakeStore(bool catchingUp) : catchingUp_(catchingUp) {}

    bool readsOnly(const ClientRequest& request) const override {
        return !catchingUp_ && request.get<ClientRequest::FetchSettings>() != nullptr;
    }
    std::vector<Outcome> applyBatch(std::span<const PendingRequest> requests,
                                    std::size_t) override {
        std::unique_lock lock(mutex_);
        std::string call;
        for (const auto& pending : requests) {
            call += (call.empty() ? "" : ",") + pending.caller.clientId;
            stamped_ = stamped_ && pending.received != std::chrono::steady_clock::time_point{};
        }
        note(call);
        const bool first = ++calls_ == 1;
        if (catchingUp_ ? first : !readsOnly(requests.front().request))
            changed_.wait(lock, [&] { return released_; });
        if (catchingUp_ && first)
            return {};
        return std::vector<Outcome>(
            requests.size(), Outcome{ServerResponse::SettingsUpdated{ChangeResult::done, 1}, {}});
    }
    void clientGone(std::string_view client) override {
        std::lock_guard lock(mutex_);
        note("gone " + std::string(client));
    }
    std::vector<HeldContainer> abandonClient(std::string_view) override { return {}; }
    void releaseHoldings(std::span<const std::pair<std::string, UUID>>) override {}

    /// Whether `event` happened within ten seconds.
    bool waitFor(const std::string& event) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] {
            return std::find(events_.begin(), events_.end(), event) != events_.end();
        });
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    std::vector<std::string> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    /// Whether every request it was given knew when it came in.
    bool stamped() {
        std::lock_guard lock(mutex_);
        return stamped_;
    }

  private:
    void note(const std::string& event) {
        events_.push_back(event);
        changed_.notify_all();
    }

    const bool catchingUp_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
    bool stamped_ = true;
    int calls_ = 0;
    std::vector<std::string> events_;
};

PendingRequest fetchBy(const std::string& client) {
    return {Caller{client, 0}, ClientRequest::FetchSettings{"org.example.app", 1, "", false}, {}};
}

PendingRequest creationBy(const std::string& client) {
    return {Caller{client, 0}, ClientRequest::CreateSettings{{}, "org.example.app", 1}, {}};
}

}  // namespace

// While a change waits (for etcd, in the fleet's store), reads are applied on the worker's
// second thread, ahead of it; but a read never passes other work about its client (here, the
// client gone), which runs after the change, and before that read.
TEST(StoreWorkerTest, ReadsPassWaitingChangesButNotOtherWorkAboutTheirClient) {
    // On a thread of its own: the event loop blocks the stop signals of the thread that makes
    // it, which the child processes of later tests would inherit.
    std::thread([] {
        EventLoop loop;
        FakeStore store(false);
        StoreWorker worker(loop, store);
        int answers = 0;
        auto count = [&answers](const Outcome&) { ++answers; };
        worker.apply(creationBy("a"), count);
        ASSERT_TRUE(store.waitFor("a"));
        worker.clientGone("x");
        worker.apply(fetchBy("x"), count);
        worker.apply(fetchBy("y"), count);
        EXPECT_TRUE(store.waitFor("y")) << "the read waited for the change";
        store.release();
        worker.settle(std::chrono::steady_clock::now() + 10s);

        EXPECT_EQ(store.events(), (std::vector<std::string>{"a", "y", "gone x", "x"}));
        EXPECT_EQ(answers, 3);
        EXPECT_FALSE(worker.busy());
    }).join();
}

// Requests a store leaves unapplied are not failed: they go to it again, first, together with
// the requests that queued while it was busy, so that they share its next attempt; each is
// answered once, in order, and the store learns when each came in.
TEST(StoreWorkerTest, RequestsLeftToCatchUpGoAgainWithThoseQueuedMeanwhile) {
    std::thread([] {
        EventLoop loop;
        FakeStore store(true);
        StoreWorker worker(loop, store);
        std::vector<std::string> answered;
        auto give = [&](const std::string& client) {
            worker.apply(fetchBy(client), [&answered, client](const Outcome& outcome) {
                const bool failed = outcome.answer.get<ServerResponse::RequestHasFailed>();
                answered.push_back(client + (failed ? " failed" : " done"));
            });
        };
        give("a");
        ASSERT_TRUE(store.waitFor("a"));
        give("b");
        give("c");
        store.release();
        worker.settle(std::chrono::steady_clock::now() + 10s);

        EXPECT_EQ(store.events(), (std::vector<std::string>{"a", "a,b,c"}));
        EXPECT_EQ(answered, (std::vector<std::string>{"a done", "b done", "c done"}));
        EXPECT_TRUE(store.stamped());
        EXPECT_FALSE(worker.busy());
    }).join();
}
