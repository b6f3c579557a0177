#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/NoticeList.h"
#include "core/SettingsStore.h"
#include "core/Store.h"
#include "fleet/EtcdClient.h"
#include "fleet/FleetGate.h"
#include "fleet/FleetKeys.h"
#include "fleet/FleetLimits.h"

namespace velkor::fleet {

/// What a velkord needs to keep fleet files.
struct FleetOptions {
    EtcdOptions etcd;
    /// Domains whose shared file (user number 1) is a fleet file: shell patterns ("*", "?",
    /// "[...]", as fnmatch(3) reads them), matched against the lower-case domain.
    std::vector<std::string> domains;
    /// Where the fleet's keys live in etcd.
    std::string prefix = "/velkor/";
    /// The local copy's database, which serves fetches while etcd cannot be reached.
    std::string cachePath;
    daemon::Durability durability = daemon::Durability::normal;
    daemon::StoreLimits limits;
    /// The largest etcd transaction one change may make (see `kMaxChangeBytes`): a larger one
    /// is refused before anything goes to etcd.
    std::size_t maxChangeBytes = kMaxChangeBytes;
    /// How long a request may wait for etcd in all.
    std::chrono::milliseconds requestTimeout{5000};
};

/// The fleet's files: a local copy of them (an SQLite store of its own, on disk) kept equal to
/// what etcd holds under the fleet prefix, which serves every request with the same semantics
/// as the machine's own store. A request that changes a file is applied to the copy, committed
/// to etcd in one transaction (see `FleetGate`), and only then committed to the copy and
/// answered. When another machine changed the file first, the copy catches up with etcd and the
/// request is applied again, until the request time-out.
///
/// One watch on the prefix brings other machines' changes; they are applied to the copy, and
/// every local client that holds a changed container is told of the change (see `FleetCopy`):
/// a dictionary's changed values as records like this machine's own, anything else as
/// `containerAbandoned`, after which the library fetches the container anew and posts the
/// differences as events; so also after a compaction, when the copy is read afresh. A deleted
/// file is told as `settingsDeleted`. The watch resumes from the last revision it delivered, kept
/// in the copy, also across restarts. Changes this velkord made come back through the watch and are
/// recognised by the file's revision.
///
/// Thread safety: every public operation may be called from any thread; changes and the
/// watch's changes are applied one at a time. A change holds the copy only while it runs
/// against it, not while etcd is asked (see `FleetGate`), so requests that only read
/// (`readsOnly`) are served meanwhile, from another thread, by the copy as it is. Requests wait
/// for etcd, so the daemon runs them off its event loop.
class FleetStore : public daemon::Store {
  public:
    /// Receives the notices of other machines' changes, on the store's own thread.
    using NoticeSink = std::function<void(std::vector<daemon::Notice>)>;

    /// Opens the local copy (throws `DatabaseError`) and the etcd client (throws `EtcdError`
    /// for unusable options); nothing is asked of etcd before `start`.
    explicit FleetStore(FleetOptions options);
    ~FleetStore() override;
    FleetStore(const FleetStore&) = delete;
    FleetStore& operator=(const FleetStore&) = delete;

    /// Starts the store's thread, which reads the fleet's files afresh (a copy that has watched
    /// before resumes from the last revision it delivered instead) and then watches; `sink`
    /// receives the notices of other machines' changes on that thread, in the order of the
    /// changes applied (see `changesPosted`).
    void start(NoticeSink sink);
    /// Stops the watch and the store's thread; `sink` is not called after it returns.
    /// Idempotent.
    void stop();

    /// Whether the request is for a fleet file: a shared file of a fleet domain, or a container
    /// of one.
    bool serves(const ClientRequest& request) const;
    /// Fetches, resolutions and subscription flags: they read the copy and never wait for etcd.
    bool readsOnly(const ClientRequest& request) const override;
    /// Whether etcd answered the last call.
    bool reachable() const { return reach_->reachable(); }

    /// Applies the requests in order, an outcome for each; the budget is ignored. Until the copy
    /// has been read from etcd once, they wait for that (see `awaitCopy`), and are refused with
    /// `serverError` when it does not come. Requests that all only read are served at once,
    /// without waiting for changes under way. Consecutive changes of fleet files, of one or
    /// several (from different clients, which the bus side allows to wait here at once), are
    /// applied in one transaction and committed to etcd in one, within what one transaction may
    /// take (see `FleetGate`), so that changes are not limited to one per etcd round trip; any
    /// other request is applied alone. When etcd refuses such a group, every change of it is
    /// refused. When another machine changed the file first, the copy catches up and the
    /// outcomes stop before that group, which the caller gives again (see
    /// `Store::applyBatch`), until its request time-out, counted from when the oldest request of
    /// it was received. So do they before a group that fails in the copy (a full disk): that
    /// failure is thrown only when no group before it was applied.
    std::vector<daemon::Outcome> applyBatch(std::span<const daemon::PendingRequest> requests,
                                            std::size_t answerBudget = SIZE_MAX) override;
    /// Lets the store's thread give the sink notices again: until the caller of `applyBatch`
    /// says it has handed on the outcomes of changes, notices of the watch's changes applied
    /// after them wait, so that no client hears of a later change before an earlier one.
    void changesPosted() override;
    void clientGone(std::string_view clientId) override;
    std::vector<daemon::HeldContainer> abandonClient(std::string_view clientId) override;
    void releaseHoldings(std::span<const std::pair<std::string, UUID>> holdings) override;

  private:
    /// The most changes committed to etcd in one transaction.
    static constexpr std::size_t kMaxGroup = 32;

    /// Waits until the copy has been read from etcd once, up to the request time-out of the
    /// first of `requests`, or not at all once reading has failed for a whole time-out. False
    /// when it has not been read, or the store stops. A copy never read (a velkord's first start)
    /// would answer that no fleet file exists.
    bool awaitCopy(std::span<const daemon::PendingRequest> requests);
    /// Records whether reading the fleet afresh succeeded, for `awaitCopy`.
    void copyReadIs(bool read);
    /// How many of the first requests make one group (see `applyBatch`).
    std::size_t groupLength(std::span<const daemon::PendingRequest> requests);
    /// Applies `group` in one transaction of the copy and one of etcd's. None when another
    /// machine changed the file first: the copy then caught up (its notices wait in
    /// `caughtUp_`) and the group is to be applied again, with requests that came meanwhile.
    /// The outcomes of its first request alone when the group's changes together would pass
    /// what one etcd transaction may take; the others are to be applied in the next groups.
    std::optional<std::vector<daemon::Outcome>> applyGroup(
        std::span<const daemon::PendingRequest> group);
    /// Applies the watch's updates that wait (up to a compaction, which the store's thread
    /// handles); their notices join `caughtUp_`. Under `applying_`.
    void applyQueuedUpdates();
    /// Gives `notices` to the sink once the outcomes of the last changes applied are posted
    /// (see `changesPosted`). Under `applying_`, so that no change is applied meanwhile.
    void postInOrder(std::vector<daemon::Notice> notices);
    /// Has the store's thread send the notices waiting in `caughtUp_`, when a request that
    /// would have taken them failed. Under `applying_`.
    void wakeForNotices();
    /// Brings one file of the copy to what etcd holds now; gives the notices.
    std::vector<daemon::Notice> catchUp(const std::string& domain, EtcdDeadline deadline);
    /// Brings one file of the copy to `file`, read from etcd; gives the notices.
    std::vector<daemon::Notice> replaceFile(const FleetGate::Stale& file);
    /// Brings every file of the copy to what etcd holds now; gives the notices and the revision
    /// read at.
    std::int64_t resync(EtcdDeadline deadline, std::vector<daemon::Notice>& notices);
    /// Applies what the watch delivered. A file that its events do not make whole (one the copy
    /// lacks, or one replaced) is read whole from etcd; until it has been, the copy records the
    /// watch as delivered only up to the revision before it.
    std::vector<daemon::Notice> apply(const EtcdWatchUpdate& update);
    /// Moves the notices of one change of one file (a revision, or a file read afresh) to
    /// `out`, each within the answer limit (see `fitNotices`): one message per client and
    /// change, as for a request, however many changes one watch delivery or reading afresh
    /// brings at once.
    void takeNotices(daemon::NoticeList& notices, daemon::ClientHoldings& holdings,
                     std::vector<daemon::Notice>& out) const;
    void watchFrom(std::int64_t revision);
    void run();
    /// Adds containers to the index of the fleet's containers. Called before the copy's
    /// transaction that adds them commits: reads do not wait for `applying_`, so a client may
    /// learn of a container from a fetch at once, and its next request about it must be
    /// routed here.
    void indexAdded(const std::unordered_set<UUID>& added);
    /// Takes the containers a change indexed out again when etcd did not commit it, unless the
    /// copy holds them meanwhile; otherwise every refused change would leave its ids behind.
    void indexWithdrawn(const std::unordered_set<UUID>& ids);
    /// Takes containers out of the index after the copy dropped them: read afresh when whole
    /// files went, else by the containers removed.
    void indexRemoved(bool filesRemoved, const std::unordered_set<UUID>& removed);
    void rebuildIndex();

    /// The gate of requests that only read: one that changed anything would be refused rather
    /// than change the copy alone. It keeps nothing, so reads share it across threads.
    class ReadOnlyGate : public daemon::CommitGate {
      public:
        void collect(daemon::ContainerStore&, daemon::Database&, const daemon::ChangeSet&) override;
        bool pass(daemon::ContainerStore&, daemon::Database&) override { return true; }
    };

    FleetOptions options_;
    NoticeSink sink_;
    FleetKeys keys_;
    // Shared with the watch's thread, which may outlast the watch's stop.
    std::shared_ptr<FleetReach> reach_ = std::make_shared<FleetReach>();
    daemon::SettingsStore local_;
    EtcdClient etcd_;
    FleetGate gate_;
    ReadOnlyGate readOnly_;

    // Requests and the watch's changes, one at a time.
    std::mutex applying_;
    // Notices of catching up with other machines (after a stale group, or of the watch's
    // updates that a request applied first), which go out with the next outcome or from the
    // store's thread, whichever comes first, so that they precede what came after them.
    std::vector<daemon::Notice> caughtUp_;

    // The ids of the fleet's containers, for routing requests by container.
    mutable std::mutex indexMutex_;
    std::unordered_set<UUID> index_;

    // The watch's updates, applied on the store's thread. Shared with the watch's callback, which
    // a watch thread that outlasts its stop may still run (see EtcdWatcher::stop).
    struct UpdateQueue {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<EtcdWatchUpdate> updates;
        // Notices wait in `caughtUp_` with no request to take them (see `wakeForNotices`).
        bool noticesWait = false;
        // The outcomes of the changes `applyBatch` applied last are not posted yet.
        bool unposted = false;
        bool stopping = false;
        // Since when reading the fleet has failed, while the copy has not been read yet (see
        // `awaitCopy`).
        std::optional<std::chrono::steady_clock::time_point> failingSince;
    };
    std::shared_ptr<UpdateQueue> queue_ = std::make_shared<UpdateQueue>();
    // Whether the copy holds the fleet as etcd held it at some revision: it has watched before,
    // or has been read afresh. Set under `queue_->mutex`.
    std::atomic<bool> copyRead_{false};
    std::unique_ptr<EtcdWatcher> watcher_;
    std::thread thread_;
};

}  // namespace velkor::fleet
