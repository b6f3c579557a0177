#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bus/EventLoop.h"
#include "core/Store.h"

namespace velkor::daemon {

/// Runs a store that may wait (the fleet's, which waits for etcd) on a thread of its own, so
/// that the event loop never waits for it. Work runs on the thread in the order it was given;
/// what comes of it runs on the event loop's thread, through an eventfd the loop watches.
/// Requests given one after another while the thread was busy are handed to the store together
/// (up to `kMaxRequests`), in order, which lets it apply them at once; requests the store leaves
/// unapplied to catch up first go again with those that queued meanwhile.
class StoreWorker {
  public:
    static constexpr std::size_t kMaxRequests = 32;

    StoreWorker(EventLoop& loop, Store& store);
    /// Stops the thread after the work it is doing; work not yet begun is dropped.
    ~StoreWorker();
    StoreWorker(const StoreWorker&) = delete;
    StoreWorker& operator=(const StoreWorker&) = delete;

    /// Applies `request`; `done` gets its outcome on the event loop.
    void apply(PendingRequest request, std::function<void(Outcome)> done);
    void clientGone(std::string clientId);
    void releaseHoldings(std::vector<std::pair<std::string, UUID>> holdings);
    /// `done` gets what the client held, on the event loop.
    void abandonClient(std::string clientId,
                       std::function<void(std::vector<std::pair<UUID, std::int64_t>>)> done);

    /// From any thread: runs `work` on the event loop.
    void post(std::function<void()> work);

    /// Whether work was given that is not yet done.
    bool busy() const;
    /// On the event loop's thread, when it no longer runs: waits until every piece of work
    /// given so far is done, or `deadline`, and runs what came of it.
    void settle(std::chrono::steady_clock::time_point deadline);

  private:
    /// A request with what gets its outcome, or other work.
    struct Work {
        std::function<void()> run;
        std::optional<PendingRequest> request;
        std::function<void(Outcome)> done;
    };

    void run();
    void give(Work work);
    void applyRequests(std::vector<Work>& requests);
    /// Adds the requests queued next to `requests` and `pending`, up to `kMaxRequests` from
    /// `next` on.
    void takeQueued(std::vector<Work>& requests, std::vector<PendingRequest>& pending,
                    std::size_t next);
    void deliver();
    static int onReady(sd_event_source* source, int fd, std::uint32_t events, void* userdata);

    Store& store_;
    int eventFd_ = -1;
    EventSourcePtr source_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Work> work_;
    std::deque<std::function<void()>> results_;
    std::size_t pending_ = 0;  ///< work given and not yet done
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace velkor::daemon
