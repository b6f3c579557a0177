#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bus/IdleTask.h"
#include "bus/ResponseSender.h"
#include "bus/ServiceLimits.h"
#include "core/SettingsStore.h"
#include "internals/Tagged.h"
#include "velkor/VKError.h"

namespace velkor::daemon {

/// The requests waiting to be applied, one queue per client, and the batches they are applied
/// in: each batch under one commit of the store, answered after it.
///
/// Fairness: a batch takes the clients' requests round-robin, one per client per round, so one
/// client that sends thousands of requests delays another's by at most one batch. A batch is
/// applied once the event loop has dispatched every bus message it could read at once, or as
/// soon as `kMaxRequests` requests wait; it holds at most `kMaxRequests` requests and
/// `kMaxBytes` of blobs, and stops taking requests once its answers and notices reach
/// `ServiceLimits::maxQueuedBytes`. Answers and notices go out in request order, each answer
/// before its notices; each client's requests are applied and answered in the order they came.
///
/// Backpressure (see `ResponseSender`): no batch is applied while velkord's own queue is
/// congested; a client over its unread budget has its requests wait, and is sent no notices:
/// it stops holding containers instead, and once it is seen to read again it is sent a
/// `containerAbandoned` record for each, so that it drops its stale copies.
class RequestBatch {
  public:
    static constexpr std::size_t kMaxRequests = 64;
    static constexpr std::size_t kMaxBytes = 16 * 1024 * 1024;

    RequestBatch(EventLoop& loop, SettingsStore& store, ResponseSender& sender,
                 const ServiceLimits& limits);
    RequestBatch(const RequestBatch&) = delete;
    RequestBatch& operator=(const RequestBatch&) = delete;

    /// Queues a request whose sender's uid is known.
    void add(const Caller& caller, Tagged<ClientRequest> request);
    /// Answers `tag` with `error`, after the requests of `client` that wait already and, like
    /// them, once the client is within its unread budget; not at all when it has
    /// `ServiceLimits::maxWaitingRequests` waiting.
    void refuse(const std::string& client, const UUID& tag, VKError error);
    /// How many requests of `client` wait.
    std::size_t waiting(const std::string& client) const;

    /// Applies and answers one batch, if the bus can take its answers.
    void flush();
    /// Applies and answers everything that waits, whatever the bus and the clients' budgets.
    void flushAll();
    /// Applies what a client that has left had sent (for the other clients' sake) and forgets
    /// it.
    void clientLeft(const std::string& client);

  private:
    struct Entry {
        UUID tag;
        std::optional<ClientRequest> request;  ///< none: answer `refusal`
        VKError refusal = VKError::serverError;
    };
    struct Queue {
        Caller caller;
        bool uidKnown = false;  ///< false while only refusals of calls that never got a uid wait
        std::deque<Entry> entries;
        bool inRing = false;
    };

    /// One batch; `force` ignores congestion and budgets. False when nothing could be taken.
    bool flushOnce(bool force);
    void enqueue(const std::string& client, std::optional<std::uint32_t> uid, Entry entry);
    void deliverNotices(const Outcome& outcome);
    void cutOff(const std::string& client);
    void readAgain(const std::string& client);
    void scheduleFlush();
    static int onRetry(sd_event_source* source, std::uint64_t usec, void* userdata);

    EventLoop& loop_;
    SettingsStore& store_;
    ResponseSender& sender_;
    const ServiceLimits& limits_;
    IdleTask flushWhenIdle_;
    EventSourcePtr retry_;
    std::unordered_map<std::string, Queue> queues_;
    /// Clients with waiting requests, in the order they are served next.
    std::deque<std::string> ring_;
    std::size_t waitingTotal_ = 0;
    /// Clients cut off from notices, with the containers they held and their revisions.
    std::unordered_map<std::string, std::vector<std::pair<UUID, std::int64_t>>> abandoned_;
};

}  // namespace velkor::daemon
