#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "basalt/BKPThreadMutexLock.h"
#include "core/Caller.h"
#include "core/Checkpointer.h"
#include "core/ClientHoldings.h"
#include "core/CommitGate.h"
#include "core/ContainerStore.h"
#include "core/Database.h"
#include "core/Durability.h"
#include "core/MergeWindow.h"
#include "core/Outcome.h"
#include "core/RequestHandler.h"
#include "core/Store.h"
#include "core/StoreLimits.h"
#include "internals/ClientRequest.h"

namespace velkor::daemon {

/// The daemon's settings store: the six requests of the protocol applied to an SQLite database,
/// with revisions, the merge rule, notifications to the clients that hold a container, garbage
/// collection and access control. It knows nothing of D-Bus: the caller hands it requests with
/// the sender's identity and sends the answers and notices it gives back.
///
/// Transactions: every request runs in one transaction and is applied whole or not at all; its
/// answer is given only after the commit. Requests that arrive together may share one commit
/// (`applyBatch`): each runs in a savepoint of its own, so a refused request leaves the others
/// untouched, and all are answered after the one commit (a request alone needs no savepoint: its
/// failure rolls back the whole transaction). A commit that fails turns every answer of the batch
/// into `serverError` and sends no notice.
///
/// Sizes: no file grows past `StoreLimits::maxFileBytes` and no answer passes
/// `StoreLimits::maxAnswerBytes` (see `RequestHandler`). A notice that would still pass it (a
/// file stored before its limit) is replaced by a `containerAbandoned` record for each container
/// it was about, and its client stops holding them: the client drops its copies, which it may
/// fetch again, rather than miss a change.
///
/// Thread safety: every public operation takes the store's lock, so the store may be used from
/// several threads; the daemon uses it from its one event-loop thread.
class SettingsStore : public Store {
  public:
    /// Opens the store at `path`, creating it if needed. Throws `DatabaseError` when the store
    /// cannot be opened, was written by a newer version, or is a database that is neither empty
    /// nor velkord's (which is left untouched).
    /// The write-ahead log is copied back into the database in the background (see
    /// `Checkpointer`), except for ":memory:", which has none.
    explicit SettingsStore(const std::string& path, Durability durability = Durability::normal,
                           StoreLimits limits = {}, Checkpointer::Thresholds checkpoints = {});
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    /// Applies one request in a transaction of its own.
    Outcome handle(const Caller& caller, const ClientRequest& request);

    /// How much CPU time a request may take in a batch of several. One that needs more is
    /// stopped and undone, and `applyBatch` gives no outcome for it or the requests after it:
    /// they wait for another batch, and it is to be applied alone, where it runs to its end. So
    /// a heavy request holds up only the requests that arrive while it runs, not those it
    /// shares a batch with.
    static constexpr std::chrono::milliseconds kSlice{5};

    /// Applies several requests in one transaction; one outcome per request, in order (see
    /// `Store`), or fewer (see `kSlice`).
    std::vector<Outcome> applyBatch(std::span<const PendingRequest> requests,
                                    std::size_t answerBudget = SIZE_MAX) override;
    /// The same, with every request's changes handed to `gate` and the transaction to it before
    /// it commits (see `CommitGate`); no request is stopped for its slice.
    std::vector<Outcome> applyBatch(std::span<const PendingRequest> requests, CommitGate& gate);

    void clientGone(std::string_view clientId) override;
    std::vector<HeldContainer> abandonClient(std::string_view clientId) override;
    void releaseHoldings(std::span<const std::pair<std::string, UUID>> holdings) override;

    /// The parts of the store that `transact` hands out.
    struct Parts {
        Database& db;
        ContainerStore& containers;
        ClientHoldings& holdings;
        MergeWindow& merge;
    };
    /// Runs `work(Parts&)` in a transaction of its own under the store's lock: committed when
    /// it returns, rolled back when it throws (the exception goes on to the caller).
    template <class Work>
    auto transact(Work&& work) {
        return lock_.sync([&] {
            db_.run("BEGIN IMMEDIATE");
            try {
                Parts parts{db_, store_, holdings_, merge_};
                if constexpr (std::is_void_v<decltype(work(parts))>) {
                    work(parts);
                    db_.run("COMMIT");
                } else {
                    auto result = work(parts);
                    db_.run("COMMIT");
                    return result;
                }
            } catch (...) {
                rollbackQuietly();
                throw;
            }
        });
    }

    /// The subscription flag `clientId` last reported for `container` (see
    /// `ClientHoldings::subscription`).
    std::optional<bool> subscription(std::string_view clientId, const UUID& container);

  private:
    std::vector<Outcome> applyLocked(std::span<const PendingRequest> requests,
                                     std::size_t answerBudget, CommitGate* gate);
    /// Applies one request inside the open transaction: in a savepoint of its own when
    /// `inSavepoint`, which a failure rolls back; otherwise a failure rolls back the whole
    /// transaction. Sets `failed` when the request failed and was undone.
    Outcome applyRequest(const PendingRequest& pending, bool inSavepoint, CommitGate* gate,
                         bool& failed);
    /// Throws `serverError` when the request that `caller` just made added holdings or flags
    /// past what one user's clients may keep together (`maxUserHoldings`); `before` is what
    /// they kept before it. Root's requests are not bounded by it.
    void checkUserHoldings(const Caller& caller, std::int64_t before);
    void rollbackQuietly();

    basalt::BKPThreadMutexLock lock_;
    Database db_;
    ContainerStore store_;
    ClientHoldings holdings_;
    MergeWindow merge_;
    StoreLimits limits_;
    RequestHandler handler_;
    std::optional<Checkpointer> checkpointer_;  // stopped before the connection closes
};

}  // namespace velkor::daemon
