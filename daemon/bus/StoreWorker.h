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
/// that the event loop never waits for it. Work runs on the thread in the order it was given,
/// with one exception: while the thread applies requests that change files, the requests that
/// only read (`Store::readsOnly`) are applied on a second thread, ahead of the changes given
/// before them, so that reads never wait for what the changes wait for. (Each client has one
/// request here at a time, so its own requests stay in order.) Other work (a client gone, its
/// holdings released) is not passed by the reads of the clients it is about, and waits for the
/// reads under way. What comes of the work runs on
/// the event loop's thread, through an eventfd the loop watches. Requests of one kind given one
/// after another while a thread was busy are handed to the store together (up to
/// `kMaxRequests`), in order, which lets it apply them at once; changes the store leaves
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
    void abandonClient(std::string clientId, std::function<void(std::vector<HeldContainer>)> done);

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
        /// For other work: the clients it is about, whose reads may not pass it.
        std::vector<std::string> about;
    };

    void run();
    /// The second thread's: requests that only read, while the first applies changes.
    void runReads();
    void give(Work work);
    /// Under `mutex_`: whether the next work is a request that only reads.
    bool readNext() const;
    /// Under `mutex_`: moves the requests that only read and may pass the work before them
    /// (changes, and other work about other clients) to `requests`, in order, up to
    /// `kMaxRequests`. Null `requests`: only looks. Gives whether there were any.
    bool takeReads(std::vector<Work>* requests);
    /// Under `mutex_`: moves the requests next in line that only read, or that change files
    /// (`reads`), to `requests`, up to `kMaxRequests` in all.
    void takeRequests(std::vector<Work>& requests, bool reads);
    void applyRequests(std::vector<Work>& requests);
    /// Adds the changes queued next to `requests` and `pending`, up to `kMaxRequests` from
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
    std::condition_variable readable_;  ///< the second thread's: reads may go ahead
    std::deque<Work> work_;
    std::deque<std::function<void()>> results_;
    std::size_t pending_ = 0;  ///< work given and not yet done
    bool stopping_ = false;
    bool changing_ = false;  ///< the first thread applies changes
    bool reading_ = false;   ///< the second thread applies reads
    std::thread thread_;
    std::thread reader_;
};

}  // namespace velkor::daemon
