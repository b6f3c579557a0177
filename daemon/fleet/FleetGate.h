#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/CommitGate.h"
#include "fleet/EtcdClient.h"
#include "fleet/EtcdError.h"
#include "fleet/FleetKeys.h"

namespace velkor::fleet {

/// Whether etcd answered the fleet's last call or took its watch (see `EtcdWatcher`), and
/// whether it refused the last write for a full database; each is said in the log when it
/// changes. Thread-safe: the watch's thread reports to it too.
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
/// copy commits them, in three steps, so that the copy is not held while etcd is asked:
/// 1. A rehearsal (after `begin`): the requests run against the copy, the gate keeps the etcd
///    transaction their changes make, and the copy rolls back (see `CommitGate::pass`).
/// 2. `send` commits that transaction in etcd: one that holds only if the head of every file
///    changed is still at the revision the copy last saw, and that writes those heads, every
///    container the requests added or changed, and removes every container (or whole file) they
///    removed.
/// 3. Once etcd has committed it, the same requests run against the copy again, which nothing
///    else changed meanwhile, and commit with etcd's revision: the gate lets them through only
///    when they make the very transaction etcd committed.
/// When etcd does not commit, every request is refused with `serverError` and the copy is left
/// as it was:
/// - when a head had moved on (another machine changed the file), `stale()` holds what etcd has
///   of each file changed, read by the same transaction, so that the store catches up without
///   asking etcd again and applies the requests again;
/// - when etcd could not commit in time, nothing is applied here; should etcd have committed it
///   nonetheless, the watch brings the change like any other;
/// - while etcd did not answer the fleet's last call (see `FleetReach`), each member is tried
///   once, so that writes are refused at once while the fleet is unreachable rather than each
///   after the whole time-out.
/// A request whose own changes would make the transaction larger than `maxChangeBytes` is
/// refused alone with `invalidData`, before anything goes to etcd (see `kMaxChangeBytes`), as a
/// file too large is on one machine. One that passes it only with the changes before it in the
/// rehearsal, or that would take the transaction past etcd's default number of operations
/// (128) with them, marks the gate `full`: its caller then sends a shorter group.
class FleetGate : public daemon::CommitGate {
  public:
    /// A file as etcd held it when a transaction found a head moved on.
    struct Stale {
        std::string domain;
        /// The head key; none when the file was deleted.
        std::optional<EtcdKeyValue> head;
        std::vector<EtcdKeyValue> containers;
    };

    FleetGate(EtcdClient& etcd, const FleetKeys& keys, FleetReach& reach,
              std::size_t maxChangeBytes)
        : etcd_(etcd), keys_(keys), reach_(reach), maxChangeBytes_(maxChangeBytes) {}

    /// Prepares the rehearsal of the next local transaction.
    void begin();

    /// Finds the file that a request changed and keeps its changes for `pass`. Throws `VKError`
    /// when they would make the transaction too large (see above).
    void collect(daemon::ContainerStore& store, daemon::Database& db,
                 const daemon::ChangeSet& changes) override;
    /// In a rehearsal, keeps the etcd transaction of what was collected and rolls back; after
    /// `send` committed it, commits when the same transaction was collected again (throws
    /// `VKError` otherwise). Commits at once when nothing was collected.
    bool pass(daemon::ContainerStore& store, daemon::Database& db) override;
    bool repeating() const override { return revision_ != 0; }

    /// Whether a request of the rehearsal would have made the transaction pass the limit only
    /// together with the requests before it; the rehearsal is then to be discarded.
    bool full() const { return full_; }
    /// Whether the rehearsal changed fleet files: `send` then has a transaction to commit.
    bool rehearsed() const { return !sent_.ops.empty(); }
    /// The containers the rehearsal wrote.
    std::unordered_set<UUID> written() const;
    /// Commits the rehearsed transaction in etcd by `deadline`. False when a head had moved on
    /// (see `stale()`); throws `VKError` when etcd refused it or could not commit it. After it
    /// committed, the requests are to run against the copy again.
    bool send(EtcdDeadline deadline);

    /// The files changed, as etcd holds them, after `send` found a head moved on.
    const std::vector<Stale>& stale() const { return stale_; }
    /// Whether the last transaction committed changes to etcd and the copy, and which.
    bool committed() const { return committed_; }
    const daemon::ChangeSet& changes() const { return changes_; }

  private:
    /// What the requests changed in one file.
    struct FileChanges {
        UUID root;
        std::int64_t revision = 0;  // of the head, as the copy last saw it
        daemon::ChangeSet changes;
        /// The bytes each container written takes in the transaction, as it is now.
        std::unordered_map<UUID, std::size_t> written;
    };
    /// The etcd transaction of what was collected.
    struct Transaction {
        std::vector<EtcdCompare> compares;
        std::vector<EtcdOp> ops, reads;
    };

    Transaction transaction(daemon::ContainerStore& store) const;
    /// The files collected, for the log: their domains, comma-separated.
    std::string domains() const;
    /// The bytes, at most, that the transaction of `changes` to `domain` takes in etcd's
    /// request, given the bytes of each container written.
    std::size_t bytesOf(const std::string& domain, const daemon::ChangeSet& changes,
                        const std::unordered_map<UUID, std::size_t>& written) const;

    EtcdClient& etcd_;
    const FleetKeys& keys_;
    FleetReach& reach_;
    const std::size_t maxChangeBytes_;
    std::map<std::string, FileChanges> files_;  // by domain
    /// The requests whose changes `files_` holds.
    std::size_t collected_ = 0;
    Transaction sent_;
    /// etcd's revision of the transaction it committed; 0 while rehearsing.
    std::int64_t revision_ = 0;
    std::vector<Stale> stale_;
    bool committed_ = false;
    bool full_ = false;
    daemon::ChangeSet changes_;
};

}  // namespace velkor::fleet
