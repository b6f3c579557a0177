#include "core/ChangeApplier.h"

#include <limits>
#include <unordered_set>

#include "basalt/QZLogger.h"
#include "core/Access.h"
#include "core/BlobDecoder.h"
#include "core/BlobEncoder.h"
#include "core/ChangeRecords.h"
#include "core/GarbageCollector.h"
#include "core/LogThrottle.h"
#include "velkor/VKError.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.ChangeApplier");

bool fits(ChangeType type, ValueKind kind) {
    switch (type) {
        case ChangeType::childChanged:
        case ChangeType::childInserted:
        case ChangeType::childRemoved:
        case ChangeType::childrenRemoved:
            return true;
        case ChangeType::childAppended:
        case ChangeType::childMoved:
            return kind == ValueKind::array;
        default:
            return false;
    }
}

bool carriesValue(ChangeType type) {
    return type == ChangeType::childChanged || type == ChangeType::childInserted ||
           type == ChangeType::childAppended;
}

void checkIndex(std::int64_t index, std::int64_t end) {
    if (index < 0 || index >= end) {
        throw VKError(VKError::indexOutOfRange);
    }
}

}  // namespace

struct ChangeApplier::Effect {
    ChangeType recordType;
    std::int64_t from = 0;
    std::int64_t to = 0;
    /// Children whose references the change removed.
    std::vector<UUID> dropped{};
};

ServerResponse ChangeApplier::apply(const Caller& caller, const VKChangeNotification& change,
                                    NoticeList& notices) {
    const auto target = store_.container(change.id);
    if (!target) {
        throw VKError(VKError::containerNotFound);
    }
    const auto file = store_.fileWithRoot(target->root);
    if (!file) {
        throw VKError(VKError::invalidFileData);
    }
    Access::requireWrite(caller, file->user, file->domain);
    const bool dictionary = target->kind == ValueKind::dictionary;
    if (!fits(change.type, target->kind) || (dictionary && !BlobDecoder::isText(change.key))) {
        throw VKError(VKError::invalidData);
    }
    std::optional<IncomingTree> tree;
    if (carriesValue(change.type)) {
        tree = BlobDecoder::decode(change.data, BlobDecoder::References::allowOutside,
                                   limits_.maxContainersPerRequest);
    }

    // A dictionary's key is the one it holds already in a canonically equivalent form, if any:
    // the merge rule, the change and the records all speak of that one key.
    const std::string key = dictionary && change.type != ChangeType::childrenRemoved
                                ? store_.storedKey(target->id, change.key)
                                : std::string();
    bool merged = false;
    if (change.revision != target->revision) {
        merged = dictionary && change.type != ChangeType::childrenRemoved &&
                 change.revision < target->revision &&
                 merge_.mayMerge(target->id, key, caller.clientId, change.revision);
        if (!merged) {
            log.debug("Conflict: %@ of %@ made against revision %d, current is %d.", change,
                      target->id, change.revision, target->revision);
            return ServerResponse::SettingsUpdated{ChangeResult::synchronizeConflict,
                                                   target->revision};
        }
    }

    const auto before = store_.fileSize(target->root);
    const auto effect = dictionary
                            ? applyToDictionary(change, key, *target, tree ? &*tree : nullptr)
                            : applyToArray(change, *target, tree ? &*tree : nullptr);
    if (!effect) {
        return ServerResponse::SettingsUpdated{ChangeResult::nothingChanged, target->revision};
    }

    if (target->revision == std::numeric_limits<std::int64_t>::max()) {
        throw VKError(VKError::serverError);
    }
    const auto newRevision = target->revision + 1;
    store_.setRevision(target->id, newRevision);
    if (dictionary && change.type == ChangeType::childrenRemoved) {
        merge_.restart(target->id, newRevision);
    } else if (dictionary) {
        merge_.recordKeyChange(target->id, key, caller.clientId, target->revision, newRevision);
    }

    holdings_.hold(caller.clientId, target->id);
    std::vector<std::uint8_t> data;
    if (tree) {
        for (const auto& c : tree->containers) {
            holdings_.hold(caller.clientId, c.id);
            if (c.subscribed) {
                holdings_.setSubscription(caller.clientId, c.id, true);
            }
        }
        BlobEncoder encoder;
        encoder.encodeIncoming(*tree, tree->top, target->root);
        data = encoder.take();
    }

    const bool keyed = dictionary && change.type != ChangeType::childrenRemoved;
    const auto record =
        ChangeRecords::make(effect->recordType, target->id, newRevision, effect->from, effect->to,
                            keyed ? key : std::string(), std::move(data));
    std::optional<std::string> path;
    auto pathOfTarget = [&]() -> const std::string& {
        if (!path) {
            path = store_.pathOf(target->id, target->root);
        }
        return *path;
    };
    for (const auto& holder : holdings_.holders(target->id)) {
        if (holder == caller.clientId) {
            continue;
        }
        notices.add(holder, record, pathOfTarget());
        if (tree) {
            for (const auto& c : tree->containers) {
                holdings_.hold(holder, c.id);
            }
        }
    }

    GarbageCollector(store_, holdings_, merge_).collect(effect->dropped, target->root, notices);
    const auto after = store_.fileSize(target->root);
    if ((after.bytes > before.bytes &&
         after.bytes > static_cast<std::int64_t>(limits_.maxFileBytes)) ||
        (after.containers > before.containers &&
         after.containers > static_cast<std::int64_t>(limits_.maxFileContainers))) {
        if (std::size_t held = 0; LogThrottle::shared().allow(caller.clientId, held)) {
            log.warning(
                "Refused %@ of %@ for uid %d (client %@): the file would hold %d bytes in %d "
                "containers, past the limit of %d bytes or %d containers.%@",
                caseName(change.type), target->id, caller.uid, caller.clientId, after.bytes,
                after.containers, limits_.maxFileBytes, limits_.maxFileContainers,
                LogThrottle::heldNote(held));
        }
        throw VKError(VKError::invalidData);
    }
    // A change touches one file: the user's total grows only when that file does. Root's
    // changes are not bounded by the users' totals.
    if (const auto userAfter = caller.uid != Access::rootUid && after.bytes > before.bytes
                                   ? store_.userTotals(file->user).bytes
                                   : 0;
        userAfter > static_cast<std::int64_t>(limits_.maxUserBytes)) {
        if (std::size_t held = 0; LogThrottle::shared().allow(caller.clientId, held)) {
            log.warning(
                "Refused %@ of %@ for uid %d (client %@): the files of user %d would hold %d "
                "bytes, past the limit of %d bytes for one user.%@",
                caseName(change.type), target->id, caller.uid, caller.clientId, file->user,
                userAfter, limits_.maxUserBytes, LogThrottle::heldNote(held));
        }
        throw VKError(VKError::invalidData);
    }

    if (merged) {
        notices.add(caller.clientId,
                    ChangeRecords::make(ChangeType::updateRevision, target->id, newRevision),
                    pathOfTarget());
    }
    log.debug("Applied %@ to %@: revision %d.", change, target->id, newRevision);
    return ServerResponse::SettingsUpdated{
        merged ? ChangeResult::waitToBeUpdated : ChangeResult::done, newRevision};
}

void ChangeApplier::checkPlacement(const IncomingTree& tree, const ContainerRecord& target) {
    for (const auto& c : tree.containers) {
        if (store_.exists(c.id)) {
            throw VKError(VKError::invalidData);
        }
    }
    if (tree.outsideReferences.empty()) {
        return;
    }
    // Placing a reference to the target or to one of its ancestors would close a cycle.
    std::unordered_set<UUID> ancestors{target.id};
    std::vector<UUID> pending{target.id};
    while (!pending.empty()) {
        const UUID id = pending.back();
        pending.pop_back();
        for (const auto& parent : store_.parentsOf(id)) {
            if (ancestors.insert(parent).second) {
                pending.push_back(parent);
            }
        }
    }
    for (const auto& id : tree.outsideReferences) {
        const auto referenced = store_.container(id);
        if (!referenced) {
            throw VKError(VKError::containerNotFound);
        }
        if (referenced->root != target.root) {
            throw VKError(VKError::notTheSameRoot);
        }
        if (ancestors.contains(id)) {
            throw VKError(VKError::circularReferences);
        }
    }
}

std::optional<ChangeApplier::Effect> ChangeApplier::applyToDictionary(
    const VKChangeNotification& change, const std::string& key, const ContainerRecord& target,
    const IncomingTree* tree) {
    if (change.type == ChangeType::childrenRemoved) {
        if (store_.isEmpty(target.id)) {
            return std::nullopt;
        }
        return Effect{ChangeType::childrenRemoved, 0, 0, store_.removeAllItems(target.id)};
    }

    const auto old = store_.item(target.id, key, 0);
    Effect effect{ChangeType::childRemoved};
    if (old && old->kind == ValueKind::containerProxy) {
        effect.dropped.push_back(old->child);
    }
    if (change.type == ChangeType::childRemoved) {
        if (!old) {
            return std::nullopt;
        }
        store_.removeItem(target.id, key, 0);
        return effect;
    }

    checkPlacement(*tree, target);
    if (old && old->sameAs(tree->top)) {
        return std::nullopt;
    }
    effect.recordType = old ? ChangeType::childChanged : ChangeType::childInserted;
    store_.addContainers(*tree, target.root);
    store_.putItem(target.id, key, 0, tree->top);
    return effect;
}

std::optional<ChangeApplier::Effect> ChangeApplier::applyToArray(const VKChangeNotification& change,
                                                                 const ContainerRecord& target,
                                                                 const IncomingTree* tree) {
    const auto count = store_.arrayCount(target.id);
    const auto i = change.from;
    switch (change.type) {
        case ChangeType::childChanged: {
            checkIndex(i, count);
            checkPlacement(*tree, target);
            const auto old = store_.item(target.id, {}, i);
            if (!old) {
                throw VKError(VKError::invalidFileData);
            }
            if (old->sameAs(tree->top)) {
                return std::nullopt;
            }
            Effect effect{ChangeType::childChanged, i, i};
            if (old->kind == ValueKind::containerProxy) {
                effect.dropped.push_back(old->child);
            }
            store_.addContainers(*tree, target.root);
            store_.putItem(target.id, {}, i, tree->top);
            return effect;
        }
        case ChangeType::childInserted:
        case ChangeType::childAppended: {
            const bool append = change.type == ChangeType::childAppended;
            const auto index = append ? count : i;
            checkIndex(index, count + 1);
            checkPlacement(*tree, target);
            store_.addContainers(*tree, target.root);
            if (index < count) {
                store_.openSlot(target.id, index);
            }
            store_.putItem(target.id, {}, index, tree->top);
            return Effect{change.type, index, index};
        }
        case ChangeType::childRemoved: {
            checkIndex(i, count);
            const auto old = store_.item(target.id, {}, i);
            if (!old) {
                throw VKError(VKError::invalidFileData);
            }
            Effect effect{ChangeType::childRemoved, i, i};
            if (old->kind == ValueKind::containerProxy) {
                effect.dropped.push_back(old->child);
            }
            store_.removeItem(target.id, {}, i);
            store_.closeSlot(target.id, i);
            return effect;
        }
        case ChangeType::childMoved:
            checkIndex(change.from, count);
            checkIndex(change.to, count);
            if (change.from == change.to) {
                return std::nullopt;
            }
            store_.moveSlot(target.id, change.from, change.to);
            return Effect{ChangeType::childMoved, change.from, change.to};
        case ChangeType::childrenRemoved:
            if (count == 0) {
                return std::nullopt;
            }
            return Effect{ChangeType::childrenRemoved, 0, 0, store_.removeAllItems(target.id)};
        default:
            throw VKError(VKError::invalidData);
    }
}

}  // namespace velkor::daemon
