#include "core/StoreSchema.h"

#include <sqlite3.h>

#include <string>
#include <vector>

#include "core/DatabaseError.h"

namespace velkor::daemon {

namespace {

constexpr std::int64_t schemaVersion = 2;

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
);
CREATE INDEX items_by_child ON items(value) WHERE kind = 5;
PRAGMA user_version = 2;
)sql";

// Version 1 kept items in a WITHOUT ROWID table, whose b-tree holds whole rows: every seek and
// every page split among rows of multi-megabyte values read and moved those values. Version 2
// keeps them in a rowid table, where the key index is separate and values past a page go to
// overflow pages that only reading the value touches.
constexpr const char* fromVersion1 = R"sql(
CREATE TABLE items_v2(
    container BLOB NOT NULL,
    key TEXT NOT NULL,
    slot INTEGER NOT NULL,
    kind INTEGER NOT NULL,
    value,
    PRIMARY KEY(container, key, slot)
);
INSERT INTO items_v2(container, key, slot, kind, value)
    SELECT container, key, slot, kind, value FROM items ORDER BY container, key, slot;
DROP TABLE items;
ALTER TABLE items_v2 RENAME TO items;
CREATE INDEX items_by_child ON items(value) WHERE kind = 5;
PRAGMA user_version = 2;
)sql";

// The tables that live with the daemon only. `clients` names the uid of each client that made
// a request (root's aside), and `user_holdings` counts the holdings and subscription flags of
// each user's clients together, kept up to date by triggers, for the user limit on them.
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
CREATE TEMP TABLE clients(
    client TEXT PRIMARY KEY,
    uid INTEGER NOT NULL
) WITHOUT ROWID;
CREATE TEMP TABLE user_holdings(
    uid INTEGER PRIMARY KEY,
    rows INTEGER NOT NULL
);
CREATE TEMP TRIGGER client_added AFTER INSERT ON clients BEGIN
    INSERT OR IGNORE INTO user_holdings(uid, rows) VALUES(NEW.uid, 0);
END;
CREATE TEMP TRIGGER holding_added AFTER INSERT ON holdings BEGIN
    UPDATE user_holdings SET rows = rows + 1
        WHERE uid = (SELECT uid FROM clients WHERE client = NEW.client);
END;
CREATE TEMP TRIGGER holding_removed AFTER DELETE ON holdings BEGIN
    UPDATE user_holdings SET rows = rows - 1
        WHERE uid = (SELECT uid FROM clients WHERE client = OLD.client);
END;
CREATE TEMP TRIGGER subscription_added AFTER INSERT ON subscriptions BEGIN
    UPDATE user_holdings SET rows = rows + 1
        WHERE uid = (SELECT uid FROM clients WHERE client = NEW.client);
END;
CREATE TEMP TRIGGER subscription_removed AFTER DELETE ON subscriptions BEGIN
    UPDATE user_holdings SET rows = rows - 1
        WHERE uid = (SELECT uid FROM clients WHERE client = OLD.client);
END;
CREATE TEMP TABLE merge_windows(
    container BLOB PRIMARY KEY,
    since INTEGER NOT NULL,
    keys INTEGER NOT NULL,
    touched INTEGER NOT NULL
) WITHOUT ROWID;
CREATE INDEX temp.merge_windows_by_touch ON merge_windows(touched);
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
    key_hash INTEGER NOT NULL,
    revision INTEGER NOT NULL,
    writer TEXT NOT NULL,
    other_revision INTEGER NOT NULL,
    PRIMARY KEY(container, key_hash)
) WITHOUT ROWID;
CREATE TEMP TABLE merge_keys(total INTEGER NOT NULL);
INSERT INTO merge_keys(total) VALUES(0);
CREATE TEMP TRIGGER key_change_added AFTER INSERT ON key_changes BEGIN
    UPDATE merge_keys SET total = total + 1;
END;
CREATE TEMP TRIGGER key_change_removed AFTER DELETE ON key_changes BEGIN
    UPDATE merge_keys SET total = total - 1;
END;
)sql";

// Each file's size as `StoredSize` counts it, kept up to date by triggers for the files whose
// size has been asked for since the daemon started (`ContainerStore::fileSize` counts the rest
// on first use). Replacing an item fires the delete trigger for the replaced row only with
// recursive triggers on. The triggers of containers and items run while `sizes_per_row()` (a
// switch of `ContainerStore`'s) says so: a whole file written or removed at once is counted
// once instead of row by row. Each user's totals (`user_sizes`: bytes and files) follow its
// files, for the users whose totals have been asked for.
constexpr const char* fileSizes = R"sql(
PRAGMA recursive_triggers = ON;
CREATE TEMP TABLE file_sizes(
    root BLOB PRIMARY KEY,
    user INTEGER NOT NULL,
    bytes INTEGER NOT NULL,
    containers INTEGER NOT NULL
) WITHOUT ROWID;
CREATE TEMP TABLE user_sizes(
    user INTEGER PRIMARY KEY,
    bytes INTEGER NOT NULL,
    files INTEGER NOT NULL
);
CREATE TEMP TRIGGER file_size_added AFTER INSERT ON file_sizes BEGIN
    UPDATE user_sizes SET bytes = bytes + NEW.bytes, files = files + 1 WHERE user = NEW.user;
END;
CREATE TEMP TRIGGER file_size_removed AFTER DELETE ON file_sizes BEGIN
    UPDATE user_sizes SET bytes = bytes - OLD.bytes, files = files - 1 WHERE user = OLD.user;
END;
CREATE TEMP TRIGGER file_size_changed AFTER UPDATE OF bytes ON file_sizes BEGIN
    UPDATE user_sizes SET bytes = bytes + NEW.bytes - OLD.bytes WHERE user = NEW.user;
END;
CREATE TEMP TRIGGER file_added AFTER INSERT ON main.files BEGIN
    INSERT OR REPLACE INTO file_sizes(root, user, bytes, containers)
        VALUES(NEW.root, NEW.user, 0, 0);
END;
CREATE TEMP TRIGGER file_removed AFTER DELETE ON main.files BEGIN
    DELETE FROM file_sizes WHERE root = OLD.root;
END;
CREATE TEMP TRIGGER container_added AFTER INSERT ON main.containers
    WHEN sizes_per_row() BEGIN
    UPDATE file_sizes SET bytes = bytes + 64, containers = containers + 1 WHERE root = NEW.root;
END;
CREATE TEMP TRIGGER container_removed AFTER DELETE ON main.containers
    WHEN sizes_per_row() BEGIN
    UPDATE file_sizes SET bytes = bytes - 64, containers = containers - 1 WHERE root = OLD.root;
END;
CREATE TEMP TRIGGER item_added AFTER INSERT ON main.items
    WHEN sizes_per_row() BEGIN
    UPDATE file_sizes SET bytes = bytes + 40 + length(CAST(NEW.key AS BLOB)) +
        CASE NEW.kind WHEN 1 THEN length(CAST(NEW.value AS BLOB))
                      WHEN 2 THEN length(NEW.value) ELSE 0 END
    WHERE root = (SELECT root FROM containers WHERE id = NEW.container);
END;
CREATE TEMP TRIGGER item_removed AFTER DELETE ON main.items
    WHEN sizes_per_row() BEGIN
    UPDATE file_sizes SET bytes = bytes - 40 - length(CAST(OLD.key AS BLOB)) -
        CASE OLD.kind WHEN 1 THEN length(CAST(OLD.value AS BLOB))
                      WHEN 2 THEN length(OLD.value) ELSE 0 END
    WHERE root = (SELECT root FROM containers WHERE id = OLD.container);
END;
CREATE TEMP TRIGGER item_changed AFTER UPDATE OF key, kind, value ON main.items
    WHEN sizes_per_row() BEGIN
    UPDATE file_sizes SET bytes = bytes
        + length(CAST(NEW.key AS BLOB)) + CASE NEW.kind WHEN 1 THEN length(CAST(NEW.value AS BLOB))
                                                        WHEN 2 THEN length(NEW.value) ELSE 0 END
        - length(CAST(OLD.key AS BLOB)) - CASE OLD.kind WHEN 1 THEN length(CAST(OLD.value AS BLOB))
                                                        WHEN 2 THEN length(OLD.value) ELSE 0 END
    WHERE root = (SELECT root FROM containers WHERE id = NEW.container);
END;
)sql";

std::int64_t pragma(Database& db, const char* sql) {
    auto q = db.query(sql);
    return q->step() ? q->integer(0) : 0;
}

/// Refuses a database that is neither empty nor velkord's, before anything is written to it.
void checkOwnership(Database& db) {
    const auto applicationId = pragma(db, "PRAGMA application_id");
    if (applicationId == StoreSchema::kApplicationId) {
        return;
    }
    std::vector<std::string> names;
    {
        auto q = db.query("SELECT name FROM sqlite_schema WHERE type = 'table' ORDER BY name");
        while (q->step()) {
            names.emplace_back(q->text(0));
        }
    }
    const bool ours = applicationId == 0 && pragma(db, "PRAGMA user_version") == 1 &&
                      names == std::vector<std::string>{"containers", "files", "items"};
    if (names.empty() && applicationId == 0) {
        return;  // a new store
    }
    if (ours) {
        return;  // written before the application id was set
    }
    std::string tables;
    for (const auto& name : names) {
        tables += (tables.empty() ? "" : ", ") + name;
    }
    throw DatabaseError(SQLITE_ERROR,
                        "it is not a velkord store and is left untouched (application id " +
                            std::to_string(applicationId) +
                            ", tables: " + (tables.empty() ? "none" : tables) +
                            "); give velkord an empty or new file");
}

}  // namespace

void StoreSchema::apply(Database& db, Durability durability) {
    checkOwnership(db);
    // Before the log is written: a file given to velkord may be readable by others.
    db.makePrivate();
    db.setDurability(durability);
    db.exec("BEGIN IMMEDIATE");
    try {
        const auto version = pragma(db, "PRAGMA user_version");
        if (version == 0) {
            checkOwnership(db);  // nobody filled it meanwhile
            db.exec(persistentTables);
        } else if (version == 1) {
            db.exec(fromVersion1);
        } else if (version != schemaVersion) {
            throw DatabaseError(SQLITE_ERROR, "the store has schema version " +
                                                  std::to_string(version) + ", this daemon knows " +
                                                  std::to_string(schemaVersion));
        }
        if (pragma(db, "PRAGMA application_id") != kApplicationId) {
            db.exec(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
        }
        db.exec("COMMIT");
    } catch (...) {
        db.exec("ROLLBACK");
        throw;
    }
    db.exec(memoryTables);
    db.exec(fileSizes);
}

}  // namespace velkor::daemon
