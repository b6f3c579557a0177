#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "internals/ChangeNotification.h"
#include "velkor/VKObjectBase.h"

namespace velkor {

/// Keeps one container's changes in the daemon's order.
///
/// The daemon advances a container's revision by one per accepted change, and a container that
/// stands at a revision holds every change up to it: a reported change at or below it is in
/// the container already and is skipped.
///
/// Some of this client's changes are sent without the items lock and applied only once the
/// daemon has accepted them (append, remove, move, removeAll). Meanwhile another client's
/// change that the daemon ordered after ours may already reach the container. Revisions say
/// which came first: a reported change whose revision is more than one ahead of the
/// container's waits here while one of our own changes is in flight, and is applied as soon as
/// the gap is closed. When no own change is in flight any more, whatever waits is applied in
/// revision order: nothing the daemon reported is ever dropped.
///
/// A report that reached the client before the container it changes was decoded is missed:
/// when the content decoded is older than it, later reports wait in the same way until a
/// content fetched again holds the missed one, rather than apply over the gap.
///
/// A dictionary change that the daemon merged (waitToBeUpdated) is made at once, but the
/// container takes its revision only when the daemon reports it later. Until then a content
/// fetched at an earlier revision does not hold it, so taking that content keeps it.
///
/// Containers are many and seldom have anything in flight: the state is created when something
/// is in flight or waits, and released when nothing is. Everything here runs under the
/// container's write lock, except waitForRevision.
class ServerOrder {
  public:
    /// A reported change that waits for an earlier one, with the value it carries decoded.
    struct Held {
        VKChangeNotification change;
        std::string path;
        VKObjectPtr value;
    };
    /// A merged change of a dictionary's key: the value set (none: the key removed), and the
    /// revision the daemon gave it.
    struct Merged {
        std::int64_t revision;
        std::string key;
        VKObjectPtr value;
    };

    ServerOrder();
    ~ServerOrder();
    ServerOrder(const ServerOrder&) = delete;
    ServerOrder& operator=(const ServerOrder&) = delete;

    void beginOwnChange();
    void endOwnChange();

    /// Whether a reported change of `changeRevision` must wait, the container standing at
    /// `revision`.
    bool mustWait(std::int64_t changeRevision, std::int64_t revision) const {
        return changeRevision > revision + 1 && state_ &&
               (state_->inFlight > 0 || revision < state_->missed);
    }

    /// A report of `revision` was missed: reports after a gap wait until the container reaches
    /// it (see `revisionReached`), which only a content fetched again can bring.
    void missed(std::int64_t revision);

    /// Keeps `held` until it may be applied.
    void hold(Held held);

    /// The first waiting change if it may be applied now, the container standing at
    /// `revision` (it follows without a gap, or no own change is in flight).
    std::optional<Held> takeNext(std::int64_t revision);
    /// The first waiting change if the daemon ordered it at or before `revision`.
    std::optional<Held> takeUpTo(std::int64_t revision);

    /// The container took a content fetched at `revision`, which differed from its own when
    /// `changed`. The reported changes the daemon ordered at or before it, waiting or still to
    /// come, are in that content already: they are dropped, and skipped when they arrive.
    void fetchedAt(std::int64_t revision, bool changed);
    /// Whether a content that differed was taken while an own change was in flight, since the
    /// last call; clears it.
    bool takeFetchChanged() { return state_ && std::exchange(state_->fetchChanged, false); }
    /// Whether a change of `changeRevision` is in a content the container took while one of
    /// its own changes was in flight.
    bool inFetchedContent(std::int64_t changeRevision) const {
        return state_ && changeRevision <= state_->fetchedUpTo;
    }

    /// Keeps `merged` until the container reaches its revision.
    void merged(Merged merged);
    /// The merged changes a content fetched at `revision` does not hold yet, oldest first.
    std::vector<Merged> mergedAfter(std::int64_t revision) const;

    /// The container's revision rose to `revision`: merged changes up to it are in, a missed
    /// report up to it too, and the threads waiting for it wake.
    void revisionReached(std::int64_t revision);

    /// Waits without any lock until `revision()` reaches `wanted` or `deadline` passes; gives
    /// whether it did. Only while an own change of this thread is in flight, which keeps the
    /// state.
    bool waitForRevision(const std::function<std::int64_t()>& revision, std::int64_t wanted,
                         std::chrono::steady_clock::time_point deadline);

  private:
    struct State {
        int inFlight = 0;
        std::vector<Held> held;  // by revision
        std::int64_t fetchedUpTo = std::numeric_limits<std::int64_t>::min();
        bool fetchChanged = false;
        std::vector<Merged> merged;   // by revision
        std::int64_t missed = 0;      // the last revision missed; 0 once reached
        std::atomic<int> waiters{0};  // threads in waitForRevision, which share one wait lock
    };
    State& state();
    /// Lets the state go once nothing is in flight or waits.
    void releaseIfIdle();

    std::unique_ptr<State> state_;
};

}  // namespace velkor
