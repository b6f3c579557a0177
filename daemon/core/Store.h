#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/Caller.h"
#include "core/Outcome.h"
#include "internals/ClientRequest.h"
#include "velkor/UUID.h"

namespace velkor::daemon {

/// A request waiting to be applied, with who sent it.
struct PendingRequest {
    Caller caller;
    ClientRequest request;
    /// When velkord took it in, for a store that waits (the fleet's): its request time-out
    /// counts from here. Unset: from when the store begins it.
    std::chrono::steady_clock::time_point received{};
};

/// A container a client held when velkord stopped sending it notices, which it is to fetch again:
/// its revision and its path in its file ("" for the root), as the abandonment record says.
struct HeldContainer {
    /// A longer path is given as "" (the client then hears of the change as somewhere in the
    /// file): it bounds what velkord keeps and sends for a client that lags.
    static constexpr std::size_t kMaxPathBytes = 1024;

    UUID id;
    std::int64_t revision = 0;
    std::string path;
};

/// What serves the protocol's requests for a set of files: the machine's own store, or the
/// fleet's. Request batching, budgets and the bus side use every store alike.
class Store {
  public:
    virtual ~Store() = default;

    /// Applies requests in order; one outcome per request. Once the answers and notices given
    /// so far reach `answerBudget` bytes (`messageBytes`), the rest are left unapplied: fewer
    /// outcomes come back, for the first requests. A store that waits for another (the fleet's)
    /// may also come back with fewer, even none, when it had to catch up first: its caller then
    /// gives it the rest again, first, together with requests that arrived meanwhile.
    virtual std::vector<Outcome> applyBatch(std::span<const PendingRequest> requests,
                                            std::size_t answerBudget = SIZE_MAX) = 0;

    /// Whether `request` only reads (it changes no file), so that it may be applied while
    /// changes that wait for another system (etcd, for the fleet's store) are under way, from
    /// another thread, ahead of them. None does for a store that never waits.
    virtual bool readsOnly(const ClientRequest&) const { return false; }
    /// Said by the thread that applied a batch of changes once it has handed their outcomes on,
    /// before it applies any more. A store whose own thread also makes notices (the fleet's,
    /// from its watch) holds them back until then, so that clients hear of the changes in the
    /// order they were applied: a client skips a change reported below a revision it has
    /// reached.
    virtual void changesPosted() {}

    /// Forgets what a client that has left held and the subscription flags it reported.
    virtual void clientGone(std::string_view clientId) = 0;
    /// Stops `clientId` from holding anything, as when it leaves, and gives the containers it
    /// held: for a client that is no longer sent notices.
    virtual std::vector<HeldContainer> abandonClient(std::string_view clientId) = 0;
    /// Stops each client of `holdings` from holding its container: for a client that lags
    /// behind and is to fetch those containers again rather than be sent their changes.
    virtual void releaseHoldings(std::span<const std::pair<std::string, UUID>> holdings) = 0;
};

}  // namespace velkor::daemon
