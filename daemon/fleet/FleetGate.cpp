#include "fleet/FleetGate.h"

#include <algorithm>

#include "basalt/QZLogger.h"
#include "core/BlobDecoder.h"
#include "fleet/FleetCodec.h"
#include "fleet/FleetHeads.h"
#include "fleet/FleetLimits.h"
#include "velkor/VKError.h"

namespace velkor::fleet {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.Fleet");

static_assert(kMaxChangeBytes <= daemon::BlobDecoder::maxBlobSize,
              "a container that fits a change must be one every velkord reads back");

/// What an operation of a transaction takes in etcd's request besides its key and value, at
/// most: its field tags and lengths.
constexpr std::size_t kOpOverhead = 32;

/// The most operations a transaction of several requests may hold: etcd's default
/// `--max-txn-ops`, so that requests that members configured so take one by one are never
/// refused only because they were sent together.
constexpr std::size_t kMaxGroupOps = 128;

/// The operations the transaction of `changes` to one file writes (see `transaction`).
std::size_t opsOf(const daemon::ChangeSet& changes) {
    if (!changes.filesRemoved.empty())
        return 2;
    return 1 + changes.written.size() + changes.removed.size();
}

}  // namespace

void FleetReach::reached() {
    if (!reachable_.exchange(true))
        log.info("The fleet is reachable again.");
}

void FleetReach::failed(const std::string& why) {
    if (reachable_.exchange(false))
        log.error("The fleet is unreachable: %@", why);
    else
        log.debug("The fleet is still unreachable: %@", why);
}

void FleetReach::full(const std::string& why) {
    reached();
    if (!full_.exchange(true))
        log.error(
            "etcd's database is full: fleet changes are refused until the cluster's history is "
            "compacted, its members are defragmented and its NOSPACE alarm is disarmed (%@).",
            why);
    else
        log.debug("etcd's database is still full: %@", why);
}

void FleetReach::committed() {
    if (full_.exchange(false))
        log.info("etcd takes fleet changes again.");
}

void FleetGate::begin() {
    files_.clear();
    collected_ = 0;
    sent_ = {};
    revision_ = 0;
    stale_.clear();
    committed_ = false;
    full_ = false;
    changes_.clear();
}

void FleetGate::collect(daemon::ContainerStore& store, daemon::Database& db,
                        const daemon::ChangeSet& changes) {
    // One request changes one file: find it by a root it added or removed, or by a container.
    std::optional<UUID> root;
    if (!changes.filesAdded.empty())
        root = changes.filesAdded.front();
    else if (!changes.filesRemoved.empty())
        root = changes.filesRemoved.front();
    else if (!changes.written.empty())
        if (auto container = store.container(*changes.written.begin()))
            root = container->root;
    std::optional<FleetHeads::Head> head = root ? FleetHeads::ofRoot(db, *root) : std::nullopt;
    if (!head && root) {
        if (auto file = store.fileWithRoot(*root))
            head = FleetHeads::Head{file->domain, *root, 0};
    }
    if (!head) {
        log.error("A fleet request changed containers of no known file; it is refused.");
        throw VKError(VKError::serverError);
    }
    // The bytes of what this request wrote, as the containers are now.
    std::unordered_map<UUID, std::size_t> mine;
    for (const auto& id : changes.written)
        if (auto container = store.container(id))
            mine[id] = keys_.container(head->domain, id).size() +
                       FleetCodec::encodeContainer(*container, store.items(id)).size() +
                       kOpOverhead;
    const auto found = files_.find(head->domain);
    auto together =
        found == files_.end() ? FileChanges{head->root, head->revision, {}, {}} : found->second;
    together.changes.add(changes);
    for (const auto& [id, bytes] : mine)
        together.written[id] = bytes;
    std::erase_if(together.written, [&](const auto& entry) {
        return !together.changes.written.contains(entry.first);
    });
    // The whole transaction, with the other files' changes.
    auto bytes = bytesOf(head->domain, together.changes, together.written);
    auto ops = opsOf(together.changes);
    for (const auto& [domain, file] : files_) {
        if (domain == head->domain)
            continue;
        bytes += bytesOf(domain, file.changes, file.written);
        ops += opsOf(file.changes);
    }
    const bool tooMany = collected_ > 0 && ops > kMaxGroupOps;
    if (bytes > maxChangeBytes_ || tooMany) {
        if (tooMany || bytesOf(head->domain, changes, mine) <= maxChangeBytes_) {
            // The change fits a transaction of its own: it goes in a later group (see `full`).
            full_ = true;
            throw VKError(VKError::serverError);
        }
        if (!repeating())
            log.warning(
                "Refused a change of fleet file %@: etcd's transaction would take %d bytes, "
                "past the fleet's limit of %d bytes per change.",
                head->domain, bytes, maxChangeBytes_);
        throw VKError(VKError::invalidData);
    }
    files_.insert_or_assign(head->domain, std::move(together));
    ++collected_;
}

std::size_t FleetGate::bytesOf(const std::string& domain, const daemon::ChangeSet& changes,
                               const std::unordered_map<UUID, std::size_t>& written) const {
    // As `transaction` makes it: the compare and reads of the head and the containers, then
    // the removal of the whole file, or the head, the containers written and those removed.
    const auto head = keys_.head(domain).size() + kOpOverhead;
    const auto containers = 2 * keys_.containers(domain).size() + kOpOverhead;
    std::size_t bytes = 2 * head + containers;
    if (!changes.filesRemoved.empty())
        return bytes + head + containers;
    bytes += head + UUID::zero().bytes().size();
    for (const auto& [id, size] : written)
        bytes += size;
    for (const auto& id : changes.removed)
        bytes += keys_.container(domain, id).size() + kOpOverhead;
    return bytes;
}

FleetGate::Transaction FleetGate::transaction(daemon::ContainerStore& store) const {
    Transaction t;
    for (const auto& [domain, file] : files_) {
        t.compares.push_back(EtcdCompare::modRevisionIs(keys_.head(domain), file.revision));
        // When a head moved on, the same transaction reads the files as they are now, which
        // spares the catching up two more round trips per file.
        t.reads.push_back(EtcdOp::get(keys_.head(domain)));
        t.reads.push_back(EtcdOp::getPrefix(keys_.containers(domain)));
        if (!file.changes.filesRemoved.empty()) {
            t.ops.push_back(EtcdOp::remove(keys_.head(domain)));
            t.ops.push_back(EtcdOp::removePrefix(keys_.containers(domain)));
            continue;
        }
        t.ops.push_back(EtcdOp::put(keys_.head(domain), FleetCodec::encodeHead(file.root)));
        for (const auto& id : file.changes.written) {
            auto container = store.container(id);
            if (!container)
                continue;
            t.ops.push_back(EtcdOp::put(keys_.container(domain, id),
                                        FleetCodec::encodeContainer(*container, store.items(id))));
        }
        for (const auto& id : file.changes.removed)
            t.ops.push_back(EtcdOp::remove(keys_.container(domain, id)));
    }
    // In the order of their keys, which are distinct, so that a rehearsal and the requests'
    // second run make equal transactions whatever order their sets hold the containers in.
    std::ranges::sort(t.ops, {}, &EtcdOp::key);
    return t;
}

std::unordered_set<UUID> FleetGate::written() const {
    std::unordered_set<UUID> ids;
    for (const auto& [domain, file] : files_)
        ids.insert(file.changes.written.begin(), file.changes.written.end());
    return ids;
}

bool FleetGate::pass(daemon::ContainerStore& store, daemon::Database& db) {
    if (files_.empty())
        return true;
    auto built = transaction(store);
    if (revision_ == 0) {
        sent_ = std::move(built);
        return false;
    }
    if (built.compares != sent_.compares || built.ops != sent_.ops) {
        log.error(
            "Fleet file %@ changed otherwise on the second run of its requests than etcd "
            "committed; they are refused, and the watch brings what etcd holds.",
            domains());
        throw VKError(VKError::serverError);
    }
    for (const auto& [domain, file] : files_) {
        if (!file.changes.filesRemoved.empty())
            FleetHeads::remove(db, domain);
        else
            FleetHeads::set(db, FleetHeads::Head{domain, file.root, revision_});
        changes_.add(file.changes);
    }
    committed_ = true;
    return true;
}

std::string FleetGate::domains() const {
    std::string names;
    for (const auto& [domain, file] : files_)
        names += (names.empty() ? "" : ", ") + domain;
    return names;
}

bool FleetGate::send(EtcdDeadline deadline) {
    EtcdTxnResult result;
    try {
        // While etcd did not answer the last call, one try at each member: writes are then
        // refused at once, not each after the whole time-out, and a member that answers again
        // still has until the deadline to commit.
        result = etcd_.txn(sent_.compares, sent_.ops, sent_.reads, deadline,
                           reach_.reachable() ? EtcdRetry::untilDeadline : EtcdRetry::oneRound);
    } catch (const EtcdError& error) {
        // A member that refused the transaction answered: the fleet is reachable, and the
        // refusal is this change's (too large for the members' limits, say), the user's (no
        // permission to write the prefix) or the database's.
        if (error.kind() == EtcdError::Kind::full) {
            reach_.full(error.what());
        } else if (error.kind() == EtcdError::Kind::rejected ||
                   error.kind() == EtcdError::Kind::denied) {
            reach_.reached();
            log.error("etcd refused a change of fleet file %@: %@", domains(), error.what());
        } else {
            reach_.failed(error.what());
        }
        if (error.maybeApplied())
            log.info(
                "A change of fleet file %@ may have committed unanswered; the watch will tell.",
                domains());
        throw VKError(VKError::serverError);
    }
    reach_.reached();
    if (!result.succeeded) {
        if (result.results.size() != sent_.reads.size()) {
            log.error("etcd answered a failed transaction of fleet file %@ without its reads.",
                      domains());
            throw VKError(VKError::serverError);
        }
        std::size_t next = 0;
        for (const auto& [domain, file] : files_) {
            log.debug("Fleet file %@ may have changed elsewhere since revision %d; catching up.",
                      domain, file.revision);
            auto& heads = result.results[next++].kvs;
            stale_.push_back(Stale{
                domain, heads.empty() ? std::nullopt : std::optional(std::move(heads.front())),
                std::move(result.results[next++].kvs)});
        }
        return false;
    }
    reach_.committed();
    revision_ = result.revision;
    // The second run collects its changes afresh.
    files_.clear();
    collected_ = 0;
    return true;
}

}  // namespace velkor::fleet
