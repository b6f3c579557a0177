#include "core/StoreSchema.h"

#include <sqlite3.h>

#include <string>

#include "core/DatabaseError.h"

namespace velkor::daemon {

namespace {

constexpr std::int64_t schemaVersion = 1;

constexpr const char* persistentTables = R"sql(
CREATE TABLE files(
    user INTEGER NOT NULL,
    domain TEXT NOT NULL,
    root BLOB NOT NULL UNIQUE,
    PRIMARY KEY(user, domain)
) WITHOUT ROWID;
CREATE TABLE containers(
    id BLOB PRIMARY KEY,
    root BLOB NOT NULL,
    kind INTEGER NOT NULL,
    revision INTEGER NOT NULL
) WITHOUT ROWID;
CREATE INDEX containers_by_root ON containers(root);
CREATE TABLE items(
    container BLOB NOT NULL,
    key TEXT NOT NULL,
    slot INTEGER NOT NULL,
    kind INTEGER NOT NULL,
    value,
    PRIMARY KEY(container, key, slot)
) WITHOUT ROWID;
CREATE INDEX items_by_child ON items(value) WHERE kind = 5;
PRAGMA user_version = 1;
)sql";

constexpr const char* memoryTables = R"sql(
CREATE TEMP TABLE holdings(
    container BLOB NOT NULL,
    client TEXT NOT NULL,
    PRIMARY KEY(container, client)
) WITHOUT ROWID;
CREATE INDEX temp.holdings_by_client ON holdings(client);
CREATE TEMP TABLE subscriptions(
    container BLOB NOT NULL,
    client TEXT NOT NULL,
    subscribed INTEGER NOT NULL,
    PRIMARY KEY(container, client)
) WITHOUT ROWID;
CREATE INDEX temp.subscriptions_by_client ON subscriptions(client);
CREATE TEMP TABLE merge_windows(
    container BLOB PRIMARY KEY,
    since INTEGER NOT NULL,
    keys INTEGER NOT NULL
) WITHOUT ROWID;
CREATE TEMP TABLE key_forms_read(
    container BLOB PRIMARY KEY
) WITHOUT ROWID;
CREATE TEMP TABLE key_forms(
    container BLOB NOT NULL,
    canonical TEXT NOT NULL,
    key TEXT NOT NULL,
    PRIMARY KEY(container, canonical)
) WITHOUT ROWID;
CREATE TEMP TABLE key_changes(
    container BLOB NOT NULL,
    key TEXT NOT NULL,
    revision INTEGER NOT NULL,
    writer TEXT NOT NULL,
    other_revision INTEGER NOT NULL,
    PRIMARY KEY(container, key)
) WITHOUT ROWID;
)sql";

std::int64_t storedVersion(Database& db) {
    auto q = db.query("PRAGMA user_version");
    return q->step() ? q->integer(0) : 0;
}

}  // namespace

void StoreSchema::apply(Database& db) {
    db.exec("BEGIN IMMEDIATE");
    try {
        const auto version = storedVersion(db);
        if (version == 0) {
            db.exec(persistentTables);
        } else if (version != schemaVersion) {
            throw DatabaseError(SQLITE_ERROR, "the store has schema version " +
                                                  std::to_string(version) + ", this daemon knows " +
                                                  std::to_string(schemaVersion));
        }
        db.exec("COMMIT");
    } catch (...) {
        db.exec("ROLLBACK");
        throw;
    }
    db.exec(memoryTables);
}

}  // namespace velkor::daemon
