#include "fleet/FleetHeads.h"

namespace velkor::fleet {

namespace {

FleetHeads::Head readHead(const daemon::Statement& s) {
    return FleetHeads::Head{std::string(s.text(0)), s.uuid(1).value_or(UUID::zero()), s.integer(2)};
}

}  // namespace

void FleetHeads::createTables(daemon::Database& db) {
    db.exec(R"sql(
CREATE TABLE IF NOT EXISTS fleet_heads(
    domain TEXT PRIMARY KEY,
    root BLOB NOT NULL UNIQUE,
    revision INTEGER NOT NULL
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS fleet_watch(
    id INTEGER PRIMARY KEY CHECK (id = 0),
    revision INTEGER NOT NULL
);
)sql");
}

std::optional<FleetHeads::Head> FleetHeads::ofDomain(daemon::Database& db,
                                                     std::string_view domain) {
    auto q = db.query("SELECT domain, root, revision FROM fleet_heads WHERE domain = ?");
    q->bind(1, domain);
    if (!q->step())
        return std::nullopt;
    return readHead(*q);
}

std::optional<FleetHeads::Head> FleetHeads::ofRoot(daemon::Database& db, const UUID& root) {
    auto q = db.query("SELECT domain, root, revision FROM fleet_heads WHERE root = ?");
    q->bind(1, root);
    if (!q->step())
        return std::nullopt;
    return readHead(*q);
}

std::vector<FleetHeads::Head> FleetHeads::all(daemon::Database& db) {
    std::vector<Head> heads;
    auto q = db.query("SELECT domain, root, revision FROM fleet_heads ORDER BY domain");
    while (q->step())
        heads.push_back(readHead(*q));
    return heads;
}

void FleetHeads::set(daemon::Database& db, const Head& head) {
    auto q = db.query("INSERT OR REPLACE INTO fleet_heads(domain, root, revision) VALUES(?, ?, ?)");
    q->bind(1, head.domain);
    q->bind(2, head.root);
    q->bind(3, head.revision);
    q->run();
}

void FleetHeads::remove(daemon::Database& db, std::string_view domain) {
    auto q = db.query("DELETE FROM fleet_heads WHERE domain = ?");
    q->bind(1, domain);
    q->run();
}

std::int64_t FleetHeads::watched(daemon::Database& db) {
    auto q = db.query("SELECT revision FROM fleet_watch WHERE id = 0");
    return q->step() ? q->integer(0) : 0;
}

void FleetHeads::setWatched(daemon::Database& db, std::int64_t revision) {
    auto q = db.query("INSERT OR REPLACE INTO fleet_watch(id, revision) VALUES(0, ?)");
    q->bind(1, revision);
    q->run();
}

}  // namespace velkor::fleet
