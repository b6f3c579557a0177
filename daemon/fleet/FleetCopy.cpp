#include "fleet/FleetCopy.h"

#include <map>
#include <string_view>

#include "basalt/QZLogger.h"
#include "core/Access.h"
#include "core/BlobEncoder.h"
#include "core/ChangeRecords.h"
#include "fleet/FleetCodec.h"
#include "fleet/FleetHeads.h"
#include "velkor/VKError.h"

namespace velkor::fleet {

using namespace velkor::daemon;

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.Fleet");

/// The writer the merge rule records for other machines' changes: no client's name.
constexpr std::string_view kFleetWriter = "fleet";

/// The keys whose items differ between a stored dictionary and its new content, with what each
/// held before and holds now: new content's keys first, in its order, then the keys it lost.
std::vector<FleetCopy::KeyChange> keysChanged(const std::vector<StoredItem>& items,
                                              const IncomingContainer& incoming) {
    std::map<std::string_view, const StoredItem*> old;
    for (const auto& item : items)
        old.emplace(item.key, &item);
    std::vector<FleetCopy::KeyChange> changed;
    for (std::size_t i = 0; i < incoming.values.size(); ++i) {
        auto it = old.find(incoming.keys[i]);
        const StoredItem* before = it == old.end() ? nullptr : it->second;
        if (!before || !before->sameAs(incoming.values[i]))
            changed.push_back({incoming.keys[i], before, &incoming.values[i]});
        if (it != old.end())
            old.erase(it);
    }
    for (const auto& [key, item] : old)
        changed.push_back({key, item, nullptr});
    return changed;
}

std::unordered_set<UUID> containersOf(Database& db, const UUID& root) {
    std::unordered_set<UUID> ids;
    auto q = db.query("SELECT id FROM containers WHERE root = ?");
    q->bind(1, root);
    while (q->step())
        if (auto id = q->uuid(0))
            ids.insert(*id);
    return ids;
}

}  // namespace

void FleetCopy::replaceFile(const std::string& domain, const std::optional<EtcdKeyValue>& head,
                            std::span<const EtcdKeyValue> containers) {
    auto file = parts_.containers.file(Access::sharedUser, domain);
    std::optional<UUID> root;
    if (head) {
        try {
            root = FleetCodec::decodeHead(head->value);
        } catch (const VKError&) {
            log.error("The fleet's head of %@ is damaged; the file is left as it was.", domain);
            return;
        }
    }
    if (file && (!root || file->root != *root)) {
        removeFile(*file);
        file.reset();
    }
    if (!root) {
        FleetHeads::remove(parts_.db, domain);
        return;
    }
    if (!file)
        parts_.containers.addFile(FileRecord{Access::sharedUser, domain, *root});
    auto left = containersOf(parts_.db, *root);
    for (const auto& kv : containers) {
        auto parsed = keys_.parse(kv.key);
        if (!parsed || !parsed->container || parsed->domain != domain)
            continue;
        left.erase(*parsed->container);
        putContainer(kv, *parsed->container, *root, true);
    }
    for (const auto& id : left)
        removeContainer(id);
    FleetHeads::set(parts_.db, FleetHeads::Head{domain, *root, head->modRevision});
}

bool FleetCopy::applyRevision(const std::string& domain, std::int64_t revision,
                              std::span<const EtcdEvent> events) {
    const auto known = FleetHeads::ofDomain(parts_.db, domain);
    if (known && known->revision >= revision)
        return true;  // this velkord's own change, or one it has read already
    std::optional<UUID> root = known ? std::optional(known->root) : std::nullopt;
    bool removed = false;
    for (const auto& event : events) {
        auto parsed = keys_.parse(event.kv.key);
        if (!parsed || parsed->container)
            continue;
        if (event.type == EtcdEvent::Type::remove) {
            removed = true;
            continue;
        }
        try {
            root = FleetCodec::decodeHead(event.kv.value);
        } catch (const VKError&) {
            return false;
        }
    }
    if (removed) {
        if (auto file = parts_.containers.file(Access::sharedUser, domain))
            removeFile(*file);
        FleetHeads::remove(parts_.db, domain);
        return true;
    }
    // A file this copy does not hold, or one replaced by another of the same domain: read whole.
    auto file = parts_.containers.file(Access::sharedUser, domain);
    if (!root || !file || file->root != *root)
        return false;
    for (const auto& event : events) {
        auto parsed = keys_.parse(event.kv.key);
        if (!parsed || !parsed->container)
            continue;
        if (event.type == EtcdEvent::Type::remove)
            removeContainer(*parsed->container);
        else
            putContainer(event.kv, *parsed->container, *root, false);
    }
    FleetHeads::set(parts_.db, FleetHeads::Head{domain, *root, revision});
    return true;
}

void FleetCopy::removeFile(const FileRecord& file) {
    const auto deleted = ChangeRecords::make(ChangeType::settingsDeleted, file.root, 0);
    for (const auto& holder : parts_.holdings.holdersOfFile(file.root))
        notices_.add(holder, deleted, {});
    parts_.holdings.forgetFile(file.root);
    parts_.merge.forgetFile(file.root);
    parts_.containers.removeFile(file);
    removedFiles_ = true;
}

bool FleetCopy::putContainer(const EtcdKeyValue& kv, const UUID& id, const UUID& root, bool read) {
    IncomingTree tree;
    try {
        tree = FleetCodec::decodeContainer(kv.value);
    } catch (const VKError&) {
        log.error("The fleet's container %@ is damaged; it is left as it was.", kv.key);
        return false;
    }
    const auto& incoming = tree.containers.front();
    if (incoming.id != id) {
        log.error("The fleet's container %@ holds another id; it is left as it was.", kv.key);
        return false;
    }
    std::vector<KeyChange> changedKeys;
    std::vector<StoredItem> items;
    auto stored = parts_.containers.container(id);
    if (stored) {
        if (stored->root != root) {
            log.error("The fleet's container %@ belongs to another file; it is left as it was.",
                      kv.key);
            return false;
        }
        items = parts_.containers.items(id);
        // Unchanged: nobody needs to hear of it.
        if (FleetCodec::encodeContainer(*stored, items) == kv.value)
            return true;
        if (stored->kind == ValueKind::dictionary && incoming.kind == ValueKind::dictionary)
            changedKeys = keysChanged(items, incoming);
        parts_.containers.removeContainer(id);
    }
    parts_.containers.addContainers(tree, root);
    // The merge rule judges local changes against what other machines changed, as against
    // another client's changes.
    if (stored && stored->kind == incoming.kind && incoming.revision > stored->revision) {
        for (const auto& change : changedKeys)
            parts_.merge.recordKeyChange(id, change.key, kFleetWriter, stored->revision,
                                         incoming.revision);
    } else {
        parts_.merge.restart(id, incoming.revision);
    }
    added_.insert(id);
    if (!stored || !tellChanges(*stored, tree, changedKeys, read))
        abandon(id, root, incoming.revision);
    return true;
}

bool FleetCopy::tellChanges(const ContainerRecord& before, const IncomingTree& tree,
                            std::span<const KeyChange> changes, bool read) {
    const auto& after = tree.containers.front();
    // The changes of one revision were made together, so any order of their records is one they
    // could have been made in; those of a file read whole may span revisions.
    if (before.kind != ValueKind::dictionary || after.kind != ValueKind::dictionary ||
        after.revision <= before.revision ||
        static_cast<std::int64_t>(changes.size()) > after.revision - before.revision ||
        (read && changes.size() > 1))
        return false;
    const auto holders = parts_.holdings.holders(before.id);
    if (holders.empty())
        return true;

    // One record per revision, as this machine's own changes are told: a key each, then the
    // revisions that changed no key as it stands now (a key changed twice).
    std::vector<ChangeNotificationPtr> records;
    auto revision = before.revision;
    for (const auto& change : changes) {
        if (change.before && change.before->kind == ValueKind::containerProxy)
            return false;
        if (!change.after) {
            records.push_back(ChangeRecords::make(ChangeType::childRemoved, before.id, ++revision,
                                                  0, 0, std::string(change.key)));
            continue;
        }
        if (isContainer(change.after->kind) || change.after->kind == ValueKind::containerProxy)
            return false;
        BlobEncoder encoder;
        encoder.encodeIncoming(tree, *change.after, before.root);
        records.push_back(ChangeRecords::make(
            change.before ? ChangeType::childChanged : ChangeType::childInserted, before.id,
            ++revision, 0, 0, std::string(change.key), encoder.take()));
    }
    while (revision < after.revision)
        records.push_back(ChangeRecords::make(ChangeType::updateRevision, before.id, ++revision));
    const auto path = parts_.containers.pathOf(before.id, before.root);
    for (const auto& holder : holders)
        for (const auto& record : records)
            notices_.add(holder, record, path);
    return true;
}

void FleetCopy::removeContainer(const UUID& id) {
    auto stored = parts_.containers.container(id);
    if (!stored)
        return;
    parts_.containers.removeContainer(id);
    parts_.merge.forgetContainer(id);
    abandon(id, stored->root, stored->revision);
    parts_.holdings.forgetContainer(id);
}

void FleetCopy::abandon(const UUID& id, const UUID& root, std::int64_t revision) {
    const auto holders = parts_.holdings.holders(id);
    if (holders.empty())
        return;
    const auto record = ChangeRecords::make(ChangeType::containerAbandoned, id, revision);
    // With the container's path, as records are told: the holder's root hears of the change
    // there once the container is fetched anew.
    const auto path = parts_.containers.pathOf(id, root);
    for (const auto& holder : holders) {
        notices_.add(holder, record, path);
        parts_.holdings.release(holder, id);
    }
}

}  // namespace velkor::fleet
