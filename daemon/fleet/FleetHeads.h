#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Database.h"
#include "velkor/UUID.h"

namespace velkor::fleet {

/// What the fleet's local copy knows of etcd, kept in the copy's database beside the content
/// so that both commit together: for each fleet file, its root and the etcd revision of its
/// last change that the copy holds; and the revision up to which the watch has delivered.
class FleetHeads {
  public:
    FleetHeads() = delete;

    struct Head {
        std::string domain;
        UUID root;
        std::int64_t revision = 0;
    };

    /// Creates the tables where they do not exist yet.
    static void createTables(daemon::Database& db);

    static std::optional<Head> ofDomain(daemon::Database& db, std::string_view domain);
    static std::optional<Head> ofRoot(daemon::Database& db, const UUID& root);
    static std::vector<Head> all(daemon::Database& db);
    static void set(daemon::Database& db, const Head& head);
    static void remove(daemon::Database& db, std::string_view domain);

    /// The revision up to which the watch has delivered every change; 0 before the first.
    static std::int64_t watched(daemon::Database& db);
    static void setWatched(daemon::Database& db, std::int64_t revision);
};

}  // namespace velkor::fleet
