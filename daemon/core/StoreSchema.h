#pragma once

#include "core/Database.h"

namespace velkor::daemon {

/// The tables of the store.
///
/// Kept on disk:
/// - `files`: one row per settings file, keyed by (user number, domain), naming its root
///   container.
/// - `containers`: one row per array or dictionary: id, root id of its file, kind (3 array,
///   4 dictionary) and revision.
/// - `items`: the values inside containers, one row each. A dictionary's rows carry the key and
///   slot 0, an array's the empty key and the index as slot. `kind` is the value's kind (0 number,
///   1 string, 2 data) with the value itself, or 5 with the 16-byte id of a child container: a
///   child is stored once and referenced by every parent that holds it.
///
/// Kept in memory for the daemon's lifetime (temporary tables, so that they take part in the
/// transactions of the requests that change them and vanish with the daemon):
/// - `holdings`: which client holds which container; `subscriptions`: the clients' subscription
///   flags;
/// - `merge_windows` and `key_changes`: what the merge rule needs to know of recent dictionary
///   changes (see `MergeWindow`).
class StoreSchema {
  public:
    StoreSchema() = delete;

    /// Creates the tables that are missing. Throws `DatabaseError`, also for a store written by
    /// a newer version of this schema.
    static void apply(Database& db);
};

}  // namespace velkor::daemon
