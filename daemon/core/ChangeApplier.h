#pragma once

#include <optional>

#include "core/Caller.h"
#include "core/ClientHoldings.h"
#include "core/ContainerStore.h"
#include "core/IncomingTree.h"
#include "core/MergeWindow.h"
#include "core/NoticeList.h"
#include "core/StoreLimits.h"
#include "internals/ServerResponse.h"

namespace velkor::daemon {

/// Applies one client's change record to a container: the update request.
///
/// Checks, in this order: the container exists (`containerNotFound`); the caller may write its
/// file (`fileDoesNotExist`); the record's type fits the container (`invalidData`): a dictionary
/// takes `childChanged` and `childInserted` (both set the key), `childRemoved` and
/// `childrenRemoved`; an array takes those six of the client's array operations, `childAppended`
/// and `childMoved` included; a dictionary's key is valid UTF-8 and the value a type carries
/// decodes (`invalidData`).
///
/// Then the revision. A change made against the current revision is applied. A dictionary key
/// change made against an older revision is applied when no other client has changed that key
/// since (`MergeWindow`); its answer is `waitToBeUpdated`, and the writer is sent an
/// `updateRevision` record carrying the new revision after every other record of the request.
/// Every other change whose revision is not the current one is answered `synchronizeConflict`
/// with the current revision.
///
/// Then the change itself: array indexes (`indexOutOfRange`); containers the value writes in
/// full must be new (`invalidData`); containers it references must exist (`containerNotFound`),
/// belong to the same file (`notTheSameRoot`) and be neither the changed container nor one of
/// its ancestors (`circularReferences`). A change that alters nothing (setting an equal value,
/// removing a missing key, emptying an empty container, a move to the same index) is answered
/// `nothingChanged` with the current revision. Otherwise the change is stored, the revision
/// advances by one and the answer is `done` with the new revision; `noRevisionIncrement` is
/// never given.
///
/// Records for the other holders of the container, each carrying the new revision and the
/// container's path: a dictionary's set as `childInserted` (the key was absent) or
/// `childChanged`, with key and value; its removals as `childRemoved` with the key and
/// `childrenRemoved`. An array's changes keep their type and indexes: `childChanged`,
/// `childInserted` and `childRemoved` at `from` = `to` = the index, `childAppended` with
/// `from` = `to` = the index the value landed at, `childMoved` from `from` to `to`,
/// `childrenRemoved`. Values are in the daemon's layout: containers the writer placed in full,
/// references as proxies. Every client that receives a container in full holds it from then on,
/// the writer included; containers left without a parent are collected (`GarbageCollector`).
///
/// A change after which the file is larger than `StoreLimits::maxFileBytes`, and larger than it
/// was, is refused with `invalidData`; a change that shrinks a file stored before its limit is
/// accepted.
class ChangeApplier {
  public:
    ChangeApplier(ContainerStore& store, ClientHoldings& holdings, MergeWindow& merge,
                  const StoreLimits& limits)
        : store_(store), holdings_(holdings), merge_(merge), limits_(limits) {}

    /// The answer to `change` from `caller`; records for clients go to `notices`. Throws
    /// `VKError` for refused changes and `DatabaseError` for failures of the store.
    ServerResponse apply(const Caller& caller, const VKChangeNotification& change,
                         NoticeList& notices);

  private:
    struct Effect;

    void checkPlacement(const IncomingTree& tree, const ContainerRecord& target);
    std::optional<Effect> applyToDictionary(const VKChangeNotification& change,
                                            const std::string& key, const ContainerRecord& target,
                                            const IncomingTree* tree);
    std::optional<Effect> applyToArray(const VKChangeNotification& change,
                                       const ContainerRecord& target, const IncomingTree* tree);

    ContainerStore& store_;
    ClientHoldings& holdings_;
    MergeWindow& merge_;
    const StoreLimits& limits_;
};

}  // namespace velkor::daemon
