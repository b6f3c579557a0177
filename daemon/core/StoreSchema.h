#pragma once

#include "core/Database.h"
#include "core/Durability.h"

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
///   child is stored once and referenced by every parent that holds it. A rowid table with its
///   key as a separate index, so that a large value costs only when it is read (schema version
///   2; a version-1 store, which kept the rows in the key's b-tree, is converted when opened).
///
/// Kept in memory for the daemon's lifetime (temporary tables, so that they take part in the
/// transactions of the requests that change them and vanish with the daemon):
/// - `holdings`: which client holds which container; `subscriptions`: the clients' subscription
///   flags;
/// - `merge_windows`, `key_changes` and `merge_keys` (how many keys they record in all): what
///   the merge rule needs to know of recent dictionary changes (see `MergeWindow`);
/// - `file_sizes`: the size (`StoredSize`) and container count of each file whose size has
///   been asked for, kept up to date by temporary triggers on the tables on disk; `user_sizes`:
///   the total of each user whose total has been asked for, kept up to date from `file_sizes`.
class StoreSchema {
  public:
    StoreSchema() = delete;

    /// Marks velkord's stores in the database header (`PRAGMA application_id`).
    static constexpr std::int32_t kApplicationId = 0x564B4C52;  // "VKLR"

    /// Checks that `db` is empty or velkord's, before anything is written to it; then makes it
    /// and its log files private to their owner, sets its durability and creates the tables that
    /// are missing. A store of velkord's carries its application id, or (written before the id
    /// was set) the tables of schema version 1. Throws `DatabaseError` for any other database,
    /// which is left untouched, and for a store written by a newer version of this schema.
    static void apply(Database& db, Durability durability);
};

}  // namespace velkor::daemon
