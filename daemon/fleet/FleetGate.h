#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/CommitGate.h"
#include "fleet/EtcdClient.h"
#include "fleet/EtcdError.h"
#include "fleet/FleetKeys.h"

namespace velkor::fleet {

/// Whether etcd answered the fleet's last call, said in the log when it changes.
class FleetReach {
  public:
    void reached();
    void failed(const std::string& why);
    bool reachable() const { return reachable_.load(std::memory_order_relaxed); }

  private:
    std::atomic<bool> reachable_{true};
};

/// Commits a request's changes to a fleet file in etcd before the local copy commits them: one
/// etcd transaction that holds only if the file's head is still at the revision the copy last
/// saw, and that writes the head, every container the request added or changed, and removes
/// every container (or the whole file) it removed. The local commit follows only when etcd's
/// did; otherwise the request is refused with `serverError` and the copy rolls back:
/// - when the head had moved on (another machine changed the file), `stale()` names the file
///   and holds what etcd has of it, read by the same transaction, so that the store catches up
///   without asking etcd again and applies the request again;
/// - when etcd could not commit in time, nothing is applied here; should etcd have committed it
///   nonetheless, the watch brings the change like any other.
class FleetGate : public daemon::CommitGate {
  public:
    /// A file as etcd held it when a transaction found its head moved on.
    struct Stale {
        std::string domain;
        /// The head key; none when the file was deleted.
        std::optional<EtcdKeyValue> head;
        std::vector<EtcdKeyValue> containers;
    };

    FleetGate(EtcdClient& etcd, const FleetKeys& keys, FleetReach& reach)
        : etcd_(etcd), keys_(keys), reach_(reach) {}

    /// Prepares for the next request, whose etcd call ends by `deadline`.
    void begin(EtcdDeadline deadline);

    void pass(daemon::ContainerStore& store, daemon::Database& db,
              const daemon::ChangeSet& changes) override;

    /// The file whose head had moved on, after a refused pass.
    const std::optional<Stale>& stale() const { return stale_; }
    /// Whether the last request committed changes to etcd, and which.
    bool committed() const { return committed_; }
    const daemon::ChangeSet& changes() const { return changes_; }

  private:
    EtcdClient& etcd_;
    const FleetKeys& keys_;
    FleetReach& reach_;
    EtcdDeadline deadline_{};
    std::optional<Stale> stale_;
    bool committed_ = false;
    daemon::ChangeSet changes_;
};

}  // namespace velkor::fleet
