#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "basalt/BKPThreadMutexLock.h"
#include "core/Caller.h"
#include "core/ClientHoldings.h"
#include "core/ContainerStore.h"
#include "core/Database.h"
#include "core/Durability.h"
#include "core/MergeWindow.h"
#include "core/Outcome.h"
#include "core/RequestHandler.h"
#include "internals/ClientRequest.h"

namespace velkor::daemon {

/// A request waiting to be applied, with who sent it.
struct PendingRequest {
    Caller caller;
    ClientRequest request;
};

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
/// Thread safety: every public operation takes the store's lock, so the store may be used from
/// several threads; the daemon uses it from its one event-loop thread.
class SettingsStore {
  public:
    /// Opens the store at `path`, creating it if needed. Throws `DatabaseError` when the store
    /// cannot be opened or was written by a newer version.
    explicit SettingsStore(const std::string& path, Durability durability = Durability::normal);
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    /// Applies one request in a transaction of its own.
    Outcome handle(const Caller& caller, const ClientRequest& request);

    /// Applies several requests in one transaction; one outcome per request, in order.
    std::vector<Outcome> applyBatch(std::span<const PendingRequest> requests);

    /// Forgets what a client that has left held and the subscription flags it reported.
    void clientGone(std::string_view clientId);

    /// The subscription flag `clientId` last reported for `container`, if any.
    std::optional<bool> subscription(std::string_view clientId, const UUID& container);

  private:
    std::vector<Outcome> applyLocked(std::span<const PendingRequest> requests);
    /// Applies one request inside the open transaction: in a savepoint of its own when
    /// `inSavepoint`, which a failure rolls back; otherwise a failure rolls back the whole
    /// transaction. Sets `failed` when the request failed and was undone.
    Outcome applyRequest(const PendingRequest& pending, bool inSavepoint, bool& failed);
    void rollbackQuietly();

    basalt::BKPThreadMutexLock lock_;
    Database db_;
    ContainerStore store_;
    ClientHoldings holdings_;
    MergeWindow merge_;
    RequestHandler handler_;
};

}  // namespace velkor::daemon
