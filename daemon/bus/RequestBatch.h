#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "bus/IdleTask.h"
#include "bus/ResponseSender.h"
#include "bus/ServiceLimits.h"
#include "bus/StoreWorker.h"
#include "core/SettingsStore.h"
#include "internals/Tagged.h"
#include "velkor/VKError.h"

namespace velkor::daemon {

/// The requests waiting to be applied, one queue per client, and the batches they are applied
/// in: each batch under one commit of the store, answered after it.
///
/// Fairness: a batch takes the requests round-robin, one per user per round and, within a user,
/// from each of its clients in turn, so one client that sends thousands of requests, or one
/// user that opens hundreds of connections, delays another's by at most one batch. A batch is
/// applied once the event loop has dispatched every bus message it could read at once, or as
/// soon as `kMaxRequests` requests wait; it holds at most `kMaxRequests` requests and
/// `kMaxBytes` of blobs, and stops taking requests once its answers and notices reach
/// `ServiceLimits::maxQueuedBytes`. Answers and notices go out in request order, each answer
/// before its notices; each client's requests are applied and answered in the order they came.
///
/// Backpressure (see `ResponseSender`): no batch is applied while velkord's own queue is
/// congested, and the requests of a client that lags behind wait. A client that lags is sent no
/// notices: each container they were about is kept as one `containerAbandoned` record for it,
/// and the client stops holding it, so that what waits for a client is bounded by what it
/// holds, not by how many changes happen. Once it no longer lags, those records go out before
/// anything else, and the client fetches the containers anew, hearing of the differences. A
/// client on the bus that reads nothing for `ServiceLimits::maxStallTime` stops holding
/// everything (`stalled`) in the same way.
///
/// A second store (the fleet's) may serve some requests (`serveAlso`): those are applied on its
/// worker's thread (see `StoreWorker`), and while one of a client's requests is there, the
/// client's later requests wait, so that each client is still answered in order.
/// The bytes a request carries beyond its fixed fields: its blob or its record's value and
/// key, its domain and path.
std::size_t payloadBytes(const ClientRequest& request);
/// The longest domain a request may name: a reverse-DNS name, as long as a DNS name may be.
/// Longer ones are refused with `invalidData` as they come, never kept or logged.
constexpr std::size_t kMaxDomainBytes = 255;
/// The bytes of the domain a request names; 0 for those that name none.
std::size_t domainBytes(const ClientRequest& request);

class RequestBatch {
  public:
    static constexpr std::size_t kMaxRequests = 64;
    static constexpr std::size_t kMaxBytes = 16 * 1024 * 1024;
    /// How long `flushAll` waits for the second store at most.
    static constexpr std::chrono::seconds kSecondStoreWait{10};

    RequestBatch(EventLoop& loop, Store& store, ResponseSender& sender,
                 const ServiceLimits& limits);
    RequestBatch(const RequestBatch&) = delete;
    RequestBatch& operator=(const RequestBatch&) = delete;

    /// Has `worker`'s store apply the requests that `routes` picks; both outlive the batch.
    void serveAlso(StoreWorker& worker, std::function<bool(const ClientRequest&)> routes);
    /// Sends notices that the second store produced by itself (another machine's changes).
    void deliver(const std::vector<Notice>& notices);

    /// Queues a request whose sender's uid is known.
    void add(const Caller& caller, Tagged<ClientRequest> request);
    /// Answers `tag` with `error`, after the requests of `client` that wait already and, like
    /// them, once the client is within its unread budget; not at all when it has
    /// `ServiceLimits::maxWaitingRequests` waiting.
    void refuse(const std::string& client, const UUID& tag, VKError error);
    /// How many requests of `client` wait.
    std::size_t waiting(const std::string& client) const;
    /// The payload bytes (blobs, values) of the requests of `client` that wait.
    std::size_t waitingBytes(const std::string& client) const;
    /// The same for all the clients of `uid`.
    std::size_t userWaitingBytes(std::uint32_t uid) const;

    /// Applies and answers one batch, if the bus can take its answers.
    void flush();
    /// Applies and answers everything that waits, whatever the bus and the clients' budgets.
    void flushAll();
    /// Applies what a client that has left had sent (for the other clients' sake) and forgets
    /// it.
    void clientLeft(const std::string& client);
    /// Stops a client that reads nothing from holding anything; see the class comment.
    void stalled(const std::string& client);

  private:
    struct Entry {
        UUID tag;
        std::optional<ClientRequest> request;  ///< none: answer `refusal`
        VKError refusal = VKError::serverError;
        /// Runs in a batch of its own: it was stopped for needing more than a slice of a
        /// shared one (see SettingsStore::kSlice).
        bool alone = false;
    };
    struct Queue {
        Caller caller;
        bool uidKnown = false;  ///< false while only refusals of calls that never got a uid wait
        std::deque<Entry> entries;
        bool inRing = false;
        std::string ringKey;    ///< its user's entry in the ring, while it is in it
        std::size_t bytes = 0;  ///< payloads of the requests that wait
        bool away = false;      ///< one of its requests is with the second store
    };

    /// One batch; `force` ignores congestion and budgets. False when nothing could be taken.
    bool flushOnce(bool force);
    void enqueue(const std::string& client, std::optional<std::uint32_t> uid, Entry entry);
    /// Counts `entry` as waiting in `queue`, or as no longer waiting.
    void tally(Queue& queue, const Entry& entry, bool waits);
    /// Puts `client` in its user's turn, at the front when `first`.
    void enterRing(const std::string& client, Queue& queue, bool first);
    /// Puts `client` first in the ring, wherever it stood: its request, put back, leads the next
    /// batch (see SettingsStore::kSlice).
    void leadRing(const std::string& client, Queue& queue);
    static std::string ringKeyOf(const std::string& client, const Queue& queue);
    void deliverNotices(const std::vector<Notice>& notices);
    /// Hands a request to the second store; its client waits until the answer is back.
    void sendAway(const std::string& client, Queue& queue, Entry entry);
    void cameBack(const std::string& client, const UUID& tag, Outcome outcome);
    /// Keeps `notice` as one record per container for its client, which lags behind.
    void coalesce(const Notice& notice);
    /// Releases the holdings of the notices coalesced since the last call.
    void releaseCoalesced();
    /// Sends `response` to `client`, after the records of what it was not sent meanwhile.
    void sendTo(const std::string& client, const UUID& tag, const ServerResponse& response);
    void readAgain(const std::string& client);
    void scheduleFlush();
    static int onRetry(sd_event_source* source, std::uint64_t usec, void* userdata);

    EventLoop& loop_;
    Store& store_;
    ResponseSender& sender_;
    StoreWorker* worker_ = nullptr;
    std::function<bool(const ClientRequest&)> routes_;
    const ServiceLimits& limits_;
    IdleTask flushWhenIdle_;
    EventSourcePtr retry_;
    std::unordered_map<std::string, Queue> queues_;
    /// Users with waiting requests, in the order they are served next, and the clients of each
    /// with waiting requests, in the order they are served next.
    std::deque<std::string> ring_;
    std::unordered_map<std::string, std::deque<std::string>> userRings_;
    std::size_t waitingTotal_ = 0;
    /// Payload bytes waiting, per uid.
    std::unordered_map<std::uint32_t, std::size_t> userBytes_;
    /// For each client that lags or lagged behind: the containers it was sent no notices of,
    /// to be told once it no longer lags.
    std::unordered_map<std::string, std::unordered_map<UUID, HeldContainer>> abandoned_;
    /// Clients found lagging while the current batch's notices go out, and the holdings that
    /// their coalesced notices release once they have all gone.
    std::unordered_set<std::string> coalescing_;
    std::vector<std::pair<std::string, UUID>> releases_;
};

}  // namespace velkor::daemon
