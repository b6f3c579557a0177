#include "fleet/FleetStore.h"

#include <fnmatch.h>

#include <algorithm>
#include <map>
#include <unordered_set>

#include "basalt/QZLogger.h"
#include "core/Access.h"
#include "core/NoticeFit.h"
#include "fleet/EtcdError.h"
#include "fleet/FleetCopy.h"
#include "fleet/FleetHeads.h"

namespace velkor::fleet {

using namespace velkor::daemon;

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.Fleet");

/// How long the store's thread waits before reading afresh again after a failure.
constexpr std::chrono::seconds kRetryPause{1};

}  // namespace

FleetStore::FleetStore(FleetOptions options)
    : options_(std::move(options)),
      keys_(options_.prefix),
      local_(options_.cachePath, options_.durability, options_.limits),
      etcd_(options_.etcd),
      gate_(etcd_, keys_, *reach_, options_.maxChangeBytes) {
    local_.transact([](SettingsStore::Parts& parts) { FleetHeads::createTables(parts.db); });
    rebuildIndex();
}

FleetStore::~FleetStore() {
    stop();
}

void FleetStore::stop() {
    {
        std::lock_guard lock(queue_->mutex);
        queue_->stopping = true;
    }
    queue_->changed.notify_all();
    if (thread_.joinable())
        thread_.join();
    watcher_.reset();
}

void FleetStore::start(NoticeSink sink) {
    sink_ = std::move(sink);
    thread_ = std::thread([this] { run(); });
}

bool FleetStore::serves(const ClientRequest& request) const {
    auto fleetDomain = [&](std::uint32_t user, const std::string& domain) {
        if (user != Access::sharedUser)
            return false;
        for (const auto& pattern : options_.domains)
            if (fnmatch(pattern.c_str(), domain.c_str(), 0) == 0)
                return true;
        return false;
    };
    auto known = [&](const UUID& id) {
        std::lock_guard lock(indexMutex_);
        return index_.contains(id);
    };
    if (const auto* r = request.get<ClientRequest::CreateSettings>())
        return fleetDomain(r->user, r->domain);
    if (const auto* r = request.get<ClientRequest::FetchSettings>())
        return fleetDomain(r->user, r->domain);
    if (const auto* r = request.get<ClientRequest::DeleteSettings>())
        return fleetDomain(r->user, r->domain);
    if (const auto* r = request.get<ClientRequest::UpdateSettings>())
        return r->change && known(r->change->id);
    if (const auto* r = request.get<ClientRequest::ResolveSettings>())
        return known(r->containerId);
    if (const auto* r = request.get<ClientRequest::SetHasSubscription>())
        return known(r->containerId);
    return false;
}

void FleetStore::ReadOnlyGate::collect(ContainerStore&, Database&, const ChangeSet&) {
    log.error("A request that only reads changed the fleet's copy; it is refused.");
    throw VKError(VKError::serverError);
}

bool FleetStore::readsOnly(const ClientRequest& request) const {
    return request.get<ClientRequest::FetchSettings>() ||
           request.get<ClientRequest::ResolveSettings>() ||
           request.get<ClientRequest::SetHasSubscription>();
}

std::vector<Outcome> FleetStore::applyBatch(std::span<const PendingRequest> requests, std::size_t) {
    if (!awaitCopy(requests))
        return std::vector<Outcome>(
            requests.size(), Outcome{ServerResponse::RequestHasFailed{VKError::serverError}, {}});
    // Reads are served by the copy as it is, whatever waits for etcd.
    if (std::ranges::all_of(requests, [&](const auto& p) { return readsOnly(p.request); }))
        return local_.applyBatch(requests, readOnly_);
    std::lock_guard lock(applying_);
    std::vector<Outcome> outcomes;
    outcomes.reserve(requests.size());
    try {
        while (!requests.empty()) {
            const auto group = requests.first(groupLength(requests));
            auto applied = applyGroup(group);
            if (!applied || applied->empty())
                break;
            // What others changed before the group, including what it caught up with first,
            // goes out before what the group changed.
            auto& first = applied->front().notices;
            first.insert(first.begin(), std::make_move_iterator(caughtUp_.begin()),
                         std::make_move_iterator(caughtUp_.end()));
            caughtUp_.clear();
            for (auto& outcome : *applied)
                outcomes.push_back(std::move(outcome));
            requests = requests.subspan(applied->size());
        }
    } catch (...) {
        // The notices caught up with go out from the store's thread rather than wait for
        // another request.
        wakeForNotices();
        // The groups before the failing one are committed and are answered so; the failing
        // group goes again with the rest, and fails there on its own if it must.
        if (outcomes.empty())
            throw;
    }
    if (!outcomes.empty()) {
        std::lock_guard queueLock(queue_->mutex);
        queue_->unposted = true;
    }
    return outcomes;
}

void FleetStore::changesPosted() {
    {
        std::lock_guard lock(queue_->mutex);
        queue_->unposted = false;
    }
    queue_->changed.notify_all();
}

void FleetStore::postInOrder(std::vector<Notice> notices) {
    if (notices.empty())
        return;
    {
        std::unique_lock lock(queue_->mutex);
        queue_->changed.wait(lock, [&] { return !queue_->unposted || queue_->stopping; });
        if (queue_->stopping)
            return;
    }
    sink_(std::move(notices));
}

bool FleetStore::awaitCopy(std::span<const PendingRequest> requests) {
    if (copyRead_.load(std::memory_order_acquire))
        return true;
    const auto received = requests.front().received;
    const auto deadline =
        (received == decltype(received){} ? std::chrono::steady_clock::now() : received) +
        options_.requestTimeout;
    std::unique_lock lock(queue_->mutex);
    // Once reading has failed for a whole time-out, etcd is taken for unreachable, and requests
    // are refused at once rather than each after the whole time-out; a shorter failure (an
    // election) is waited out. The store's thread tries again every `kRetryPause`, which wakes
    // the requests to look again.
    return queue_->changed.wait_until(lock, deadline, [&] {
        return copyRead_.load(std::memory_order_relaxed) || queue_->stopping ||
               (queue_->failingSince && std::chrono::steady_clock::now() >=
                                            *queue_->failingSince + options_.requestTimeout);
    }) && copyRead_.load(std::memory_order_relaxed);
}

void FleetStore::copyReadIs(bool read) {
    {
        std::lock_guard lock(queue_->mutex);
        if (read) {
            copyRead_.store(true, std::memory_order_release);
            queue_->failingSince.reset();
        } else if (!copyRead_.load(std::memory_order_relaxed) && !queue_->failingSince) {
            queue_->failingSince = std::chrono::steady_clock::now();
        }
    }
    queue_->changed.notify_all();
}

void FleetStore::wakeForNotices() {
    if (caughtUp_.empty())
        return;
    {
        std::lock_guard lock(queue_->mutex);
        queue_->noticesWait = true;
    }
    queue_->changed.notify_all();
}

std::size_t FleetStore::groupLength(std::span<const PendingRequest> requests) {
    auto changed = [](const PendingRequest& pending) -> std::optional<UUID> {
        const auto* update = pending.request.get<ClientRequest::UpdateSettings>();
        return update && update->change ? std::optional(update->change->id) : std::nullopt;
    };
    if (requests.size() < 2 || !changed(requests[0]))
        return 1;
    // Changes of containers the copy holds, of one file or several: the gate keeps their
    // transaction within etcd's limits (see `FleetGate::full`). Another file joins only while
    // the files together are no larger than one file may be, since a transaction that finds a
    // head moved on reads every file of it whole.
    const std::size_t most = std::min(requests.size(), kMaxGroup);
    return local_.transact([&](SettingsStore::Parts& parts) {
        auto rootOf = [&](const PendingRequest& pending) -> std::optional<UUID> {
            auto id = changed(pending);
            auto container = id ? parts.containers.container(*id) : std::nullopt;
            return container ? std::optional(container->root) : std::nullopt;
        };
        const auto first = rootOf(requests[0]);
        if (!first)
            return std::size_t{1};
        std::unordered_set<UUID> roots{*first};
        auto bytes = parts.containers.fileSize(*first).bytes;
        std::size_t length = 1;
        for (; length < most; ++length) {
            const auto root = rootOf(requests[length]);
            if (!root)
                break;
            if (roots.insert(*root).second) {
                bytes += parts.containers.fileSize(*root).bytes;
                if (bytes > static_cast<std::int64_t>(options_.limits.maxFileBytes))
                    break;
            }
        }
        return length;
    });
}

void FleetStore::applyQueuedUpdates() {
    for (;;) {
        EtcdWatchUpdate update;
        {
            std::lock_guard lock(queue_->mutex);
            // A compaction is the store's thread's to handle: it reads everything afresh.
            if (queue_->updates.empty() || queue_->updates.front().compactRevision > 0)
                return;
            update = std::move(queue_->updates.front());
            queue_->updates.pop_front();
        }
        try {
            auto notices = apply(update);
            caughtUp_.insert(caughtUp_.end(), std::make_move_iterator(notices.begin()),
                             std::make_move_iterator(notices.end()));
        } catch (const std::exception&) {
            // The store's thread takes it again (what of it was applied is skipped) and reads
            // afresh.
            std::lock_guard lock(queue_->mutex);
            queue_->updates.push_front(std::move(update));
            queue_->changed.notify_all();
            return;
        }
    }
}

std::optional<std::vector<Outcome>> FleetStore::applyGroup(std::span<const PendingRequest> group) {
    // Other machines' changes that the watch brought meanwhile go first, so that the group is
    // not sent against a head already known to have moved on.
    applyQueuedUpdates();
    // The group's time-out counts from when its first (oldest) request came in.
    const auto now = std::chrono::steady_clock::now();
    const auto received = group.front().received;
    const auto deadline =
        (received == decltype(received){} ? now : received) + options_.requestTimeout;
    auto refused = [&](VKError error) {
        return std::vector<Outcome>(group.size(),
                                    Outcome{ServerResponse::RequestHasFailed{error}, {}});
    };
    gate_.begin();
    auto outcomes = local_.applyBatch(group, gate_);
    if (gate_.full()) {
        // Together the changes pass what one transaction may take: the first goes alone, and
        // the others in the groups after it.
        group = group.first(1);
        gate_.begin();
        outcomes = local_.applyBatch(group, gate_);
    }
    if (!gate_.rehearsed())
        return outcomes;  // nothing for etcd: committed as it was
    const auto written = gate_.written();
    indexAdded(written);
    try {
        if (!gate_.send(deadline)) {
            indexWithdrawn(written);
            if (std::chrono::steady_clock::now() >= deadline)
                return refused(VKError::serverError);
            for (const auto& file : gate_.stale()) {
                auto notices = replaceFile(file);
                caughtUp_.insert(caughtUp_.end(), std::make_move_iterator(notices.begin()),
                                 std::make_move_iterator(notices.end()));
            }
            return std::nullopt;
        }
    } catch (const VKError& error) {
        indexWithdrawn(written);
        return refused(error);
    }
    outcomes = local_.applyBatch(group, gate_);
    if (!gate_.committed()) {
        log.error(
            "The copy could not take a change of the fleet that etcd committed; the watch "
            "brings it.");
        return outcomes;
    }
    const auto& changes = gate_.changes();
    indexRemoved(!changes.filesRemoved.empty(), changes.removed);
    return outcomes;
}

std::vector<Notice> FleetStore::catchUp(const std::string& domain, EtcdDeadline deadline) {
    auto head = etcd_.get(keys_.head(domain), deadline);
    auto containers = etcd_.getPrefix(keys_.containers(domain), deadline, head.revision);
    reach_->reached();
    return replaceFile(FleetGate::Stale{
        domain, head.kvs.empty() ? std::nullopt : std::optional(std::move(head.kvs.front())),
        std::move(containers.kvs)});
}

std::vector<Notice> FleetStore::replaceFile(const FleetGate::Stale& file) {
    NoticeList notices;
    std::vector<Notice> taken;
    bool removedFiles = false;
    local_.transact([&](SettingsStore::Parts& parts) {
        FleetCopy copy(parts, keys_, notices);
        copy.replaceFile(file.domain, file.head, file.containers);
        takeNotices(notices, parts.holdings, taken);
        removedFiles = copy.removedFiles();
        indexAdded(copy.added());
    });
    indexRemoved(removedFiles, {});
    return taken;
}

void FleetStore::takeNotices(NoticeList& notices, ClientHoldings& holdings,
                             std::vector<Notice>& out) const {
    auto taken = notices.take();
    fitNotices(taken, options_.limits.maxAnswerBytes, holdings);
    out.insert(out.end(), std::make_move_iterator(taken.begin()),
               std::make_move_iterator(taken.end()));
}

std::int64_t FleetStore::resync(EtcdDeadline deadline, std::vector<Notice>& out) {
    auto all = etcd_.getPrefix(keys_.prefix(), deadline);
    reach_->reached();
    struct File {
        std::optional<EtcdKeyValue> head;
        std::vector<EtcdKeyValue> containers;
    };
    std::map<std::string, File> files;
    for (auto& kv : all.kvs) {
        auto parsed = keys_.parse(kv.key);
        if (!parsed)
            continue;
        auto& file = files[parsed->domain];
        if (parsed->container)
            file.containers.push_back(std::move(kv));
        else
            file.head = std::move(kv);
    }
    NoticeList notices;
    std::vector<Notice> taken;
    local_.transact([&](SettingsStore::Parts& parts) {
        for (const auto& known : FleetHeads::all(parts.db))
            files.try_emplace(known.domain);
        FleetCopy copy(parts, keys_, notices);
        for (const auto& [domain, file] : files) {
            copy.replaceFile(domain, file.head, file.containers);
            takeNotices(notices, parts.holdings, taken);
        }
        FleetHeads::setWatched(parts.db, all.revision);
        indexAdded(copy.added());
    });
    rebuildIndex();
    out = std::move(taken);
    log.info("Read the fleet's %d files afresh at revision %d.", files.size(), all.revision);
    return all.revision;
}

std::vector<Notice> FleetStore::apply(const EtcdWatchUpdate& update) {
    NoticeList notices;
    std::vector<Notice> taken;
    std::vector<std::string> unreadable;
    // The watch counts as having delivered the update only up to the first revision of a file
    // that is to be read whole (below): a velkord that stops before it has read it resumes
    // there, rather than past a file its copy never got.
    auto delivered = update.revision;
    bool removedFiles = false;
    local_.transact([&](SettingsStore::Parts& parts) {
        FleetCopy copy(parts, keys_, notices);
        // One file's events of one revision at a time.
        std::size_t first = 0;
        const auto& events = update.events;
        while (first < events.size()) {
            const auto revision = events[first].kv.modRevision;
            auto parsed = keys_.parse(events[first].kv.key);
            auto sameFile = [&](const EtcdEvent& event) {
                auto other = keys_.parse(event.kv.key);
                return parsed && other && other->domain == parsed->domain;
            };
            std::size_t end = first + 1;
            while (end < events.size() && events[end].kv.modRevision == revision &&
                   sameFile(events[end]))
                ++end;
            if (parsed && !copy.applyRevision(parsed->domain, revision,
                                              std::span(events).subspan(first, end - first))) {
                unreadable.push_back(parsed->domain);
                delivered = std::min(delivered, revision - 1);
            }
            takeNotices(notices, parts.holdings, taken);
            first = end;
        }
        if (delivered > FleetHeads::watched(parts.db))
            FleetHeads::setWatched(parts.db, delivered);
        removedFiles = copy.removedFiles();
        indexAdded(copy.added());
    });
    indexRemoved(removedFiles, {});
    for (const auto& domain : unreadable) {
        auto more = catchUp(domain, std::chrono::steady_clock::now() + options_.requestTimeout);
        taken.insert(taken.end(), std::make_move_iterator(more.begin()),
                     std::make_move_iterator(more.end()));
    }
    if (delivered < update.revision)
        local_.transact([&](SettingsStore::Parts& parts) {
            if (update.revision > FleetHeads::watched(parts.db))
                FleetHeads::setWatched(parts.db, update.revision);
        });
    return taken;
}

void FleetStore::watchFrom(std::int64_t revision) {
    // The callback holds the queue, not the store: a watch thread that outlasts the watch's
    // stop (see EtcdWatcher::stop) still finds it.
    watcher_ = etcd_.watch(
        keys_.prefix(), revision,
        [queue = queue_](const EtcdWatchUpdate& update) {
            {
                std::lock_guard lock(queue->mutex);
                queue->updates.push_back(update);
            }
            queue->changed.notify_all();
        },
        // The watch says whether etcd is reachable while nothing else calls it.
        [reach = reach_](bool reachable, const std::string& why) {
            if (reachable)
                reach->reached();
            else
                reach->failed(why);
        });
}

void FleetStore::run() {
    // Whether the copy could not take what etcd answered, the last time it was read afresh.
    bool copyFailing = false;
    // Reads everything afresh, until it succeeds or the store stops; then watches from there.
    auto readAfresh = [&] {
        for (;;) {
            try {
                std::lock_guard lock(applying_);
                std::vector<Notice> fresh;
                const auto revision =
                    resync(std::chrono::steady_clock::now() + options_.requestTimeout, fresh);
                // Notices of catching up that wait go first.
                auto notices = std::exchange(caughtUp_, {});
                notices.insert(notices.end(), std::make_move_iterator(fresh.begin()),
                               std::make_move_iterator(fresh.end()));
                copyReadIs(true);
                if (std::exchange(copyFailing, false))
                    log.info("The fleet's copy is up to date again.");
                postInOrder(std::move(notices));
                return revision;
            } catch (const EtcdError& error) {
                reach_->failed(error.what());
                copyReadIs(false);
            } catch (const std::exception& error) {
                // etcd answered; the copy could not take it (a full disk, say). That is no
                // unreachable fleet, and is told once, not at every try.
                if (!std::exchange(copyFailing, true))
                    log.error("Can't bring the fleet's copy up to date (%@); trying again.",
                              error.what());
                else
                    log.debug("Still can't bring the fleet's copy up to date: %@", error.what());
                copyReadIs(false);
            }
            std::unique_lock lock(queue_->mutex);
            if (queue_->changed.wait_for(lock, kRetryPause, [&] { return queue_->stopping; }))
                return std::int64_t{-1};
        }
    };

    {
        // A copy that has watched before resumes where it stopped; a new one reads first.
        const auto watched = local_.transact(
            [](SettingsStore::Parts& parts) { return FleetHeads::watched(parts.db); });
        if (watched > 0)
            copyReadIs(true);
        const auto start = watched > 0 ? watched : readAfresh();
        if (start < 0)
            return;
        watchFrom(start + 1);
    }
    for (;;) {
        {
            std::unique_lock lock(queue_->mutex);
            queue_->changed.wait(lock, [&] {
                return queue_->stopping || !queue_->updates.empty() || queue_->noticesWait;
            });
            if (queue_->stopping)
                return;
        }
        // Taken under `applying_`, as requests take them (see `applyQueuedUpdates`), so that
        // updates are applied in the order they came.
        bool afresh = false;
        {
            std::lock_guard applyingLock(applying_);
            std::optional<EtcdWatchUpdate> update;
            {
                std::lock_guard lock(queue_->mutex);
                queue_->noticesWait = false;
                // Empty when a request applied it.
                if (!queue_->updates.empty()) {
                    update = std::move(queue_->updates.front());
                    queue_->updates.pop_front();
                }
            }
            // After a compaction, or changes that could not be applied, the copy is read afresh
            // and the watch starts again from there.
            afresh = update && update->compactRevision > 0;
            if (afresh) {
                log.info("The fleet's history was compacted past revision %d; reading it afresh.",
                         update->compactRevision);
            } else {
                try {
                    auto more = update ? apply(*update) : std::vector<Notice>{};
                    // Taken only now: when the update cannot be applied, they go with what
                    // reading afresh tells.
                    auto notices = std::exchange(caughtUp_, {});
                    notices.insert(notices.end(), std::make_move_iterator(more.begin()),
                                   std::make_move_iterator(more.end()));
                    postInOrder(std::move(notices));
                } catch (const std::exception& error) {
                    // Without an update only the waiting notices were to be posted.
                    if (update)
                        log.error(
                            "Can't apply the fleet's changes up to revision %d (%@); reading it "
                            "afresh.",
                            update->revision, error.what());
                    else
                        log.error("Can't post the fleet's changes (%@); reading it afresh.",
                                  error.what());
                    afresh = true;
                }
            }
        }
        if (afresh) {
            watcher_.reset();
            {
                std::lock_guard lock(queue_->mutex);
                queue_->updates.clear();
            }
            const auto revision = readAfresh();
            if (revision < 0)
                return;
            watchFrom(revision + 1);
        }
    }
}

void FleetStore::indexAdded(const std::unordered_set<UUID>& added) {
    std::lock_guard lock(indexMutex_);
    index_.insert(added.begin(), added.end());
}

void FleetStore::indexWithdrawn(const std::unordered_set<UUID>& ids) {
    // Inside a transaction of the copy, so that one adding the same ids is wholly before or after.
    local_.transact([&](SettingsStore::Parts& parts) {
        std::lock_guard lock(indexMutex_);
        for (const auto& id : ids)
            if (!parts.containers.container(id))
                index_.erase(id);
    });
}

void FleetStore::indexRemoved(bool filesRemoved, const std::unordered_set<UUID>& removed) {
    if (filesRemoved) {
        rebuildIndex();
        return;
    }
    std::lock_guard lock(indexMutex_);
    for (const auto& id : removed)
        index_.erase(id);
}

void FleetStore::rebuildIndex() {
    auto ids = local_.transact([](SettingsStore::Parts& parts) {
        std::unordered_set<UUID> all;
        auto q = parts.db.query("SELECT id FROM containers");
        while (q->step())
            if (auto id = q->uuid(0))
                all.insert(*id);
        return all;
    });
    std::lock_guard lock(indexMutex_);
    index_ = std::move(ids);
}

void FleetStore::clientGone(std::string_view clientId) {
    local_.clientGone(clientId);
}

std::vector<daemon::HeldContainer> FleetStore::abandonClient(std::string_view clientId) {
    return local_.abandonClient(clientId);
}

void FleetStore::releaseHoldings(std::span<const std::pair<std::string, UUID>> holdings) {
    local_.releaseHoldings(holdings);
}

}  // namespace velkor::fleet
