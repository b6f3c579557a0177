#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "internals/ChangeNotification.h"
#include "velkor/VKObjectBase.h"

namespace velkor {

/// Keeps one container's changes in the daemon's order.
///
/// Some of this client's changes are sent without the items lock and applied only once the
/// daemon has accepted them (append, remove, move, removeAll). Meanwhile another client's
/// change that the daemon ordered after ours may already reach the container. Revisions say
/// which came first: the daemon advances a container's revision by one per accepted change, so
/// a reported change whose revision is more than one ahead of the container's waits here while
/// one of our own changes is in flight, and is applied as soon as the gap is closed. When no
/// own change is in flight any more, whatever waits is applied in revision order: nothing the
/// daemon reported is ever dropped.
///
/// `held` is guarded by the container's write lock; the rest is thread-safe.
class ServerOrder {
  public:
    /// A reported change that waits for an earlier one, with the value it carries decoded.
    struct Held {
        VKChangeNotification change;
        std::string path;
        VKObjectPtr value;
    };

    /// How long an accepted own change waits for the reported changes the daemon ordered
    /// before it; past that it is applied anyway (the earlier change is then lost to this
    /// process, which only a lost or timed-out answer can cause).
    static constexpr std::chrono::seconds kWaitForEarlierChanges{5};

    void beginOwnChange() { inFlight_.fetch_add(1, std::memory_order_acq_rel); }
    void endOwnChange() { inFlight_.fetch_sub(1, std::memory_order_acq_rel); }

    /// Under the write lock: whether a reported change of `changeRevision` must wait, the
    /// container standing at `revision`.
    bool mustWait(std::int64_t changeRevision, std::int64_t revision) const {
        return changeRevision > revision + 1 && inFlight_.load(std::memory_order_acquire) > 0;
    }

    /// Under the write lock: keeps `held` until it may be applied.
    void hold(Held held);

    /// Under the write lock: the first waiting change if it may be applied now, the container
    /// standing at `revision` (it follows without a gap, or no own change is in flight).
    std::optional<Held> takeNext(std::int64_t revision);
    /// Under the write lock: the first waiting change if the daemon ordered it at or before
    /// `revision`.
    std::optional<Held> takeUpTo(std::int64_t revision);

    /// Under the write lock: the container took a content fetched at `revision`. The reported
    /// changes the daemon ordered at or before it, waiting or still to come, are in that content
    /// already: they are dropped, and skipped when they arrive.
    void fetchedAt(std::int64_t revision);
    /// Under the write lock: whether a reported change of `changeRevision` is in a content the
    /// container took since.
    bool inFetchedContent(std::int64_t changeRevision) const {
        return changeRevision <= fetchedUpTo_;
    }

    /// Waits without any lock until `revision()` reaches `wanted` or the wait times out.
    void waitForRevision(const std::function<std::int64_t()>& revision, std::int64_t wanted);
    /// Wakes the waiters after the revision advanced.
    void revisionAdvanced();

  private:
    std::atomic<int> inFlight_{0};
    // By revision. Usually empty, and then it takes no memory: containers are many.
    std::vector<Held> held_;
    std::int64_t fetchedUpTo_ = std::numeric_limits<std::int64_t>::min();
    std::atomic<int> waiters_{0};  // threads in waitForRevision, which share one wait lock
};

}  // namespace velkor
