#pragma once

#include "core/ChangeSet.h"
#include "core/ContainerStore.h"
#include "core/Database.h"

namespace velkor::daemon {

/// Where a store's changes must go before they are committed locally: the requests of one
/// transaction are applied in it, each one's changes are handed to the gate, and the
/// transaction commits only when the gate lets them all through. The fleet store's gate commits
/// the changes to etcd first.
class CommitGate {
  public:
    virtual ~CommitGate() = default;

    /// Called inside the open transaction after a request that changed anything, with what it
    /// changed (never empty); `store` and `db` read and write that transaction. Throws `VKError`
    /// to refuse that request alone, whose changes are then rolled back; it then keeps nothing
    /// of them.
    virtual void collect(ContainerStore& store, Database& db, const ChangeSet& changes) = 0;

    /// Called once before the transaction commits, with what every request collected so far.
    /// Returns whether it commits. False rolls it back and gives the requests' outcomes as they
    /// are: a rehearsal, whose changes the gate has taken to commit elsewhere first without
    /// holding the store (the fleet's gate, while it waits for etcd), after which its caller
    /// applies the same requests again for good. Throws `VKError` to refuse every request of the
    /// transaction, which is then rolled back and whose answers all become that error.
    virtual bool pass(ContainerStore& store, Database& db) = 0;

    /// Whether the requests now run again after a rehearsal: their refusals were logged then.
    virtual bool repeating() const { return false; }
};

}  // namespace velkor::daemon
