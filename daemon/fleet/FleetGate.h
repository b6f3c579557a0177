#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/CommitGate.h"
#include "fleet/EtcdClient.h"
#include "fleet/EtcdError.h"
#include "fleet/FleetKeys.h"

namespace velkor::fleet {

/// Whether etcd answered the fleet's last call, and whether it refused the last write for a
/// full database; each is said in the log when it changes.
class FleetReach {
  public:
    void reached();
    void failed(const std::string& why);
    /// etcd answered a write with its database over its space quota.
    void full(const std::string& why);
    /// etcd committed a write.
    void committed();
    bool reachable() const { return reachable_.load(std::memory_order_relaxed); }

  private:
    std::atomic<bool> reachable_{true};
    std::atomic<bool> full_{false};
};

/// Commits the changes that one local transaction made to fleet files in etcd before the local
/// copy commits them: one etcd transaction that holds only if the head of every file changed is
/// still at the revision the copy last saw, and that writes those heads, every container the
/// requests added or changed, and removes every container (or whole file) they removed. The
/// local commit follows only when etcd's did; otherwise every request of the transaction is
/// refused with `serverError` and the copy rolls back:
/// - when a head had moved on (another machine changed the file), `stale()` holds what etcd has
///   of each file changed, read by the same transaction, so that the store catches up without
///   asking etcd again and applies the requests again;
/// - when etcd could not commit in time, nothing is applied here; should etcd have committed it
///   nonetheless, the watch brings the change like any other;
/// - while etcd did not answer the fleet's last call (see `FleetReach`), each member is tried
///   once, so that writes are refused at once while the fleet is unreachable rather than each
///   after the whole time-out.
class FleetGate : public daemon::CommitGate {
  public:
    /// A file as etcd held it when a transaction found a head moved on.
    struct Stale {
        std::string domain;
        /// The head key; none when the file was deleted.
        std::optional<EtcdKeyValue> head;
        std::vector<EtcdKeyValue> containers;
    };

    FleetGate(EtcdClient& etcd, const FleetKeys& keys, FleetReach& reach)
        : etcd_(etcd), keys_(keys), reach_(reach) {}

    /// Prepares for the next local transaction, whose etcd call ends by `deadline`.
    void begin(EtcdDeadline deadline);

    /// Finds the file that a request changed and keeps its changes for `pass`.
    void collect(daemon::ContainerStore& store, daemon::Database& db,
                 const daemon::ChangeSet& changes) override;
    /// Commits what was collected to etcd (nothing when nothing was).
    void pass(daemon::ContainerStore& store, daemon::Database& db) override;

    /// The files changed, as etcd holds them, after a pass refused because a head had moved on.
    const std::vector<Stale>& stale() const { return stale_; }
    /// Whether the last transaction committed changes to etcd, and which.
    bool committed() const { return committed_; }
    const daemon::ChangeSet& changes() const { return changes_; }

  private:
    /// What the requests changed in one file.
    struct FileChanges {
        UUID root;
        std::int64_t revision = 0;  // of the head, as the copy last saw it
        daemon::ChangeSet changes;
    };

    EtcdClient& etcd_;
    const FleetKeys& keys_;
    FleetReach& reach_;
    EtcdDeadline deadline_{};
    std::map<std::string, FileChanges> files_;  // by domain
    std::vector<Stale> stale_;
    bool committed_ = false;
    daemon::ChangeSet changes_;
};

}  // namespace velkor::fleet
