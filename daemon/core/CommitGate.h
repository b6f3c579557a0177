#pragma once

#include "core/ChangeSet.h"
#include "core/ContainerStore.h"
#include "core/Database.h"

namespace velkor::daemon {

/// Where a store's changes must go before they are committed locally: a request that changed
/// anything is applied in its transaction, then handed to the gate, and committed only when the
/// gate lets it through. The fleet store's gate commits the changes to etcd first.
class CommitGate {
  public:
    virtual ~CommitGate() = default;

    /// Called inside the request's open transaction with what it changed (never empty); `store`
    /// and `db` read and write that transaction. Throws `VKError` to refuse the request, whose
    /// changes are then rolled back and whose answer becomes that error.
    virtual void pass(ContainerStore& store, Database& db, const ChangeSet& changes) = 0;
};

}  // namespace velkor::daemon
