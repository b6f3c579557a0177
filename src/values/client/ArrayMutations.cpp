// The array's changes made by the caller: each is applied locally and, while the array is
// attached to a connection, sent to the daemon.
#include <algorithm>
#include <optional>
#include <utility>

#include "basalt/QZLogger.h"
#include "internals/ContainerAccess.h"
#include "internals/InnerConnection.h"
#include "values/ChildLinks.h"
#include "values/client/OperationOnContainer.h"
#include "values/client/OwnChange.h"
#include "values/client/RootAdoption.h"
#include "values/client/SerializerOnClient.h"
#include "velkor/VKArray.h"
#include "velkor/VKError.h"

namespace velkor {

using Access = detail::ContainerAccess;

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.Array");

namespace {

// An empty reference is no value: refused before anything is locked or sent.
void requireValue(const VKObjectPtr& value) {
    if (!value) {
        throw VKError(VKError::invalidData);
    }
}

std::vector<std::uint8_t> encoded(const VKObjectPtr& value, SerializerOnClient& encoder) {
    serialize(*value, encoder);
    return encoder.takeArchiverData();
}

bool takesRevision(ChangeResult result, bool alsoWhenWaiting) {
    return result == ChangeResult::done ||
           (alsoWhenWaiting && result == ChangeResult::waitToBeUpdated);
}

}  // namespace

VKObjectPtr VKArray::removeItem(std::size_t index) {
    auto& items = innerItems();
    VKObjectPtr removed = std::move(items[index]);
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(index));
    ChildLinks::detach(*this, removed);
    return removed;
}

void VKArray::moveItem(std::size_t from, std::size_t to) {
    auto first = innerItems().begin();
    auto f = first + static_cast<std::ptrdiff_t>(from);
    auto t = first + static_cast<std::ptrdiff_t>(to);
    if (from < to) {
        std::rotate(f, f + 1, t + 1);
    } else {
        std::rotate(t, f, f + 1);
    }
}

void VKArray::set(std::int64_t at, VKObjectPtr value) {
    requireValue(value);
    const basalt::LogFormat resultLine("Result of array `child changed` notification: ");
    const basalt::LogFormat conflictLine(
        "There was array synchronization conflict during set at %d index (id=%@).");
    const OperationOnContainer operation(*this);
    Access::requireInStep(*this);
    const RootAdoption adoption(value);
    operation.withWriteLock([&] {
        if (!inRange(at)) {
            throw VKError(VKError::indexOutOfRange);
        }
        const auto index = static_cast<std::size_t>(at);
        auto mutation = Access::setInternal(*this, index, value);
        const bool changed = mutation.changed;
        const VKObjectPtr old = std::move(mutation.oldValue);
        auto connection = Access::innerConnection(*this);
        if (!changed || !connection) {
            return;
        }
        auto undo = [&] {
            try {
                Access::setInternal(*this, index, old);
            } catch (const VKError&) {
                // What the caller learns is why the change failed; the undo can only fail the
                // same way.
            }
            adoption.undo();
        };
        SerializerOnClient encoder;
        const auto [result, revision] = Access::undoneUnlessAccepted(undo, [&] {
            return Access::exchangeChange(*this, *connection, ChangeType::childChanged, at, at, {},
                                          encoded(value, encoder), log, resultLine);
        });
        if (result == ChangeResult::synchronizeConflict) {
            log.error(conflictLine, at, id());
            undo();
            throw VKError(VKError::synchronizeConflict);
        }
        if (takesRevision(result, false)) {
            Access::raiseRevision(*this, revision);
        }
        encoder.registerContainers(rootId(), *connection, this);
    });
}

void VKArray::insert(std::int64_t at, VKObjectPtr value) {
    requireValue(value);
    const basalt::LogFormat resultLine("Result of array `child inserted` notification: ");
    const basalt::LogFormat conflictLine(
        "There was array synchronization conflict during insert into %d index (id=%@).");
    const OperationOnContainer operation(*this);
    Access::requireInStep(*this);
    const RootAdoption adoption(value);
    operation.withWriteLock([&] {
        auto& items = innerItems();
        if (at < 0 || static_cast<std::uint64_t>(at) > items.size()) {
            throw VKError(VKError::indexOutOfRange);
        }
        const auto index = static_cast<std::ptrdiff_t>(at);
        ChildLinks::attach(*this, value, true);
        items.insert(items.begin() + index, value);
        auto connection = Access::innerConnection(*this);
        if (!connection) {
            return;
        }
        auto undo = [&] {
            ChildLinks::detach(*this, value);
            items.erase(items.begin() + index);
            adoption.undo();
        };
        SerializerOnClient encoder;
        const auto [result, revision] = Access::undoneUnlessAccepted(undo, [&] {
            return Access::exchangeChange(*this, *connection, ChangeType::childInserted, at, at, {},
                                          encoded(value, encoder), log, resultLine);
        });
        if (result == ChangeResult::synchronizeConflict) {
            log.error(conflictLine, at, id());
            undo();
            throw VKError(VKError::synchronizeConflict);
        }
        if (takesRevision(result, true)) {
            Access::raiseRevision(*this, revision);
        }
        encoder.registerContainers(rootId(), *connection, this);
    });
}

std::int64_t VKArray::append(VKObjectPtr value) {
    requireValue(value);
    const basalt::LogFormat resultLine("Result of array `child appended` notification: ");
    const basalt::LogFormat conflictLine(
        "There was array synchronization conflict during insert into %d index (id=%@).");
    const OperationOnContainer operation(*this);
    Access::requireInStep(*this);
    const RootAdoption adoption(value);
    std::shared_ptr<InnerConnection> connection;
    std::int64_t countWhenAsked = 0;
    std::optional<std::int64_t> localIndex;
    operation.withWriteLock([&] {
        auto& items = innerItems();
        ChildLinks::attach(*this, value, true);
        connection = Access::innerConnection(*this);
        if (!connection) {
            items.push_back(value);
            localIndex = static_cast<std::int64_t>(items.size()) - 1;
            return;
        }
        countWhenAsked = static_cast<std::int64_t>(items.size());
    });
    if (localIndex) {
        return *localIndex;
    }
    // Asked without the lock: the value is appended only once the daemon has accepted it, at
    // its place in the daemon's order. Every way that ends without appending it also takes
    // back its link to the array.
    auto undoAttach = [&] {
        ChildLinks::detach(*this, value);
        adoption.undo();
    };
    OwnChange own(*this);
    SerializerOnClient encoder;
    std::pair<ChangeResult, std::int64_t> verdict;
    try {
        verdict = Access::exchangeChange(*this, *connection, ChangeType::childAppended, 0, 0, {},
                                         encoded(value, encoder), log, resultLine);
    } catch (...) {
        undoAttach();
        throw;
    }
    const auto [result, revision] = verdict;
    if (result == ChangeResult::synchronizeConflict) {
        log.error(conflictLine, countWhenAsked, id());
        undoAttach();
        throw VKError(VKError::synchronizeConflict);
    }
    std::int64_t index = 0;
    const bool appended = own.apply(result, revision, [&] {
        auto& items = innerItems();
        items.push_back(value);
        // Registered only while the array is still attached to that connection: values placed
        // into an array detached meanwhile stay local with it.
        encoder.registerContainers(rootId(), *connection, this);
        index = static_cast<std::int64_t>(items.size()) - 1;
    });
    if (!appended) {
        // A content fetched meanwhile holds the value already, as the daemon stored it.
        undoAttach();
        index = withReadItemsLock([&] {
            const auto& items = innerItems();
            auto at = std::find_if(items.rbegin(), items.rend(), [&](const VKObjectPtr& item) {
                return equalValues(item, value);
            });
            return static_cast<std::int64_t>(items.rend() - at) - 1;
        });
    }
    return index;
}

void VKArray::append(const std::vector<VKObjectPtr>& contentsOf) {
    for (const auto& value : contentsOf) {
        append(value);
    }
}

void VKArray::remove(std::int64_t at) {
    const basalt::LogFormat resultLine("Result of array `child removed` notification: ");
    const basalt::LogFormat conflictLine(
        "There was array synchronization conflict during remove at %d index (id=%@).");
    // The item that stands at the index when the change is applied is the one removed; the
    // daemon has accepted the removal when the index is checked again.
    const OperationOnContainer operation(*this);
    Access::requireInStep(*this);
    auto removeChecked = [&] {
        if (!inRange(at)) {
            throw VKError(VKError::indexOutOfRange);
        }
        removeItem(static_cast<std::size_t>(at));
    };
    std::shared_ptr<InnerConnection> connection;
    operation.withReadLock([&] {
        if (!inRange(at)) {
            throw VKError(VKError::indexOutOfRange);
        }
        connection = Access::innerConnection(*this);
    });
    if (!connection) {
        withWriteItemsLock(removeChecked);
        return;
    }
    OwnChange own(*this);
    auto [result, revision] = Access::exchangeChange(*this, *connection, ChangeType::childRemoved,
                                                     at, at, {}, {}, log, resultLine);
    if (result == ChangeResult::synchronizeConflict) {
        log.error(conflictLine, at, id());
        throw VKError(VKError::synchronizeConflict);
    }
    own.apply(result, revision, removeChecked);
}

void VKArray::move(std::int64_t from, std::int64_t to) {
    if (from == to) {
        return;
    }
    const basalt::LogFormat resultLine("Result of array `child moved` notification: ");
    const basalt::LogFormat conflictLine(
        "There was array synchronization conflict during move from %d to %d index (id=%@).");
    const OperationOnContainer operation(*this);
    Access::requireInStep(*this);
    auto moveChecked = [&] {
        if (!inRange(from) || !inRange(to)) {
            throw VKError(VKError::indexOutOfRange);
        }
        moveItem(static_cast<std::size_t>(from), static_cast<std::size_t>(to));
    };
    auto connection = Access::innerConnection(*this);
    if (!connection) {
        withWriteItemsLock(moveChecked);
        return;
    }
    OwnChange own(*this);
    auto [result, revision] = Access::exchangeChange(*this, *connection, ChangeType::childMoved,
                                                     from, to, {}, {}, log, resultLine);
    if (result == ChangeResult::synchronizeConflict) {
        log.error(conflictLine, from, to, id());
        throw VKError(VKError::synchronizeConflict);
    }
    own.apply(result, revision, moveChecked);
}

void VKArray::removeAll() {
    Access::removeAllEntries(
        *this, [this] { Access::removeAllInternal(*this); }, log,
        basalt::LogFormat("Result of array `children removed` notification: "),
        basalt::LogFormat("There was array synchronization conflict during removal "
                          "of all children. (id=%@)."));
}

}  // namespace velkor
