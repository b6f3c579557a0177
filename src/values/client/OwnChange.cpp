// A container's changes in the daemon's order: the reports of other clients' changes, and this
// client's own changes sent without the items lock and applied once the daemon accepted them.
#include <optional>

#include "basalt/QZLogger.h"
#include "internals/ChangeNotification.h"
#include "internals/ContainerAccess.h"
#include "internals/InnerConnection.h"
#include "registry/RegistryOfContainers.h"
#include "utils/OperationDeadline.h"
#include "values/client/OperationOnContainer.h"
#include "values/client/OwnChange.h"
#include "values/client/Refetch.h"
#include "values/client/ServerChangeSteps.h"
#include "values/client/ServerOrder.h"
#include "velkor/VKError.h"

namespace velkor {

using detail::ContainerAccess;

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.Container");

/// The events of one applied report, and the path they concern.
struct AppliedChange {
    std::vector<VKContainerChange> events;
    std::string path;
};

namespace {

/// When a request about to be made must be answered, at the latest.
OperationDeadline::Clock::time_point answerDeadline(const InnerConnection& connection) {
    return OperationDeadline::current(
        std::chrono::duration_cast<OperationDeadline::Clock::duration>(
            connection.requestTimeout()));
}

/// Applies one report under the write lock (its revision included) into `applied`.
void applyLocked(VKContainer& c, const VKChangeNotification& change, const std::string& path,
                 const VKObjectPtr& value, std::vector<AppliedChange>& applied) {
    if (change.revision <= c.revision()) {
        return;  // the container holds it already (a fetch brought it)
    }
    if (change.type == ChangeType::updateRevision) {
        ContainerAccess::raiseRevision(c, change.revision);
        return;
    }
    auto events = ContainerAccess::applyChangeToItems(c, change, value);
    ContainerAccess::raiseRevision(c, change.revision);
    applied.push_back({std::move(events), path});
}

/// Under the write lock: applies one held report; one that does not fit is logged and skipped.
void applyHeldChange(VKContainer& c, const ServerOrder::Held& held,
                     std::vector<AppliedChange>& applied) {
    try {
        applyLocked(c, held.change, held.path, held.value, applied);
    } catch (const VKError&) {
        // As for a report applied at once: the one change is skipped, the others still apply.
        log.error("Can't handle change from server (%@).", held.change);
    }
}

/// Under the write lock: applies the held reports that may follow now.
void applyHeldChanges(VKContainer& c, std::vector<AppliedChange>& applied) {
    while (auto next = ContainerAccess::serverOrder(c).takeNext(c.revision())) {
        applyHeldChange(c, *next, applied);
    }
}

/// Posts the events of applied reports through `connection`, each followed by its root's
/// event; nothing without a connection.
void deliver(VKContainer& c, std::vector<AppliedChange>& applied,
             const std::shared_ptr<InnerConnection>& connection) {
    if (!connection) {
        return;
    }
    for (auto& change : applied) {
        for (auto& event : change.events) {
            ContainerAccess::postChangeNotification(c, std::move(event), *connection);
        }
        ServerChangeSteps::notifyRoot(c, change.path, *connection);
    }
}

}  // namespace

void detail::ContainerAccess::applyChangeFromServer(VKContainer& c,
                                                    const VKChangeNotification& change,
                                                    const std::string& path) {
    auto connection = ServerChangeSteps::requireConnection(c);
    if (ServerChangeSteps::carriesNothing(change)) {
        return;
    }
    if (ServerChangeSteps::applyToAnyContainer(c, change, path, *connection)) {
        return;
    }
    // Decoded before the lock is taken: decoding registers containers and may lock others.
    auto value = ContainerAccess::decodeChangeValue(c, change, connection);
    std::vector<AppliedChange> applied;
    c.withWriteItemsLock([&] {
        auto& order = ContainerAccess::serverOrder(c);
        if (change.revision <= c.revision()) {
            return;  // the container holds it already
        }
        if (order.mustWait(change.revision, c.revision())) {
            order.hold({change, path, std::move(value)});
            return;
        }
        applyLocked(c, change, path, value, applied);
        applyHeldChanges(c, applied);
    });
    deliver(c, applied, connection);
}

OwnChange::OwnChange(VKContainer& container) : container_(container) {
    const OperationOnContainer operation(container_);
    operation.withWriteLock([&] { ContainerAccess::serverOrder(container_).beginOwnChange(); });
}

OwnChange::~OwnChange() {
    if (!finished_) {
        finish(nullptr);
    }
}

bool OwnChange::apply(ChangeResult result, std::int64_t newRevision,
                      const std::function<void()>& change) {
    auto& order = ContainerAccess::serverOrder(container_);
    // Every report of a revision before ours comes first. A merged change (waitToBeUpdated)
    // follows no particular revision: the daemon reports its revision afterwards.
    std::optional<std::int64_t> after;
    if (result == ChangeResult::done) {
        after = newRevision - 1;
    } else if (result != ChangeResult::waitToBeUpdated) {
        after = newRevision;
    }
    // Waits only as long as the caller's operation may still take: its request and this wait
    // share one deadline. Without a connection no report comes any more.
    const auto connection = ContainerAccess::innerConnection(container_);
    if (after) {
        const auto deadline =
            connection ? answerDeadline(*connection) : OperationDeadline::Clock::now();
        order.waitForRevision([this] { return container_.revision(); }, *after, deadline);
    }
    bool made = true;
    finish([&](std::vector<AppliedChange>& applied) {
        while (after) {
            auto next = order.takeUpTo(*after);
            if (!next) {
                break;
            }
            applyHeldChange(container_, *next, applied);
        }
        if (result == ChangeResult::done && order.inFetchedContent(newRevision)) {
            made = false;
            return;
        }
        // Reports the daemon ordered before ours are still on their way. Ours is made all the
        // same, as the daemon made it, and the copy takes its revision, so that those reports
        // are skipped when they come rather than applied out of order; the copy is fetched
        // anew to get what they carry, and its next change waits for that.
        if (after && connection && container_.revision() < *after) {
            log.warning(
                "Changes before revision %d did not come in time: fetching container "
                "again (id=%@).",
                newRevision, container_.id());
            ContainerAccess::bringBackLater(container_);
        }
        change();
        if (result == ChangeResult::done || result == ChangeResult::waitToBeUpdated) {
            ContainerAccess::raiseRevision(container_, newRevision);
        }
    });
    return made;
}

void OwnChange::finish(const std::function<void(std::vector<AppliedChange>&)>& change) {
    finished_ = true;
    std::vector<AppliedChange> applied;
    std::exception_ptr failure;
    container_.withWriteItemsLock([&] {
        if (change) {
            try {
                change(applied);
            } catch (...) {
                failure = std::current_exception();
            }
        }
        ContainerAccess::serverOrder(container_).endOwnChange();
        applyHeldChanges(container_, applied);
    });
    deliver(container_, applied, ContainerAccess::innerConnection(container_));
    if (failure) {
        std::rethrow_exception(failure);
    }
}

namespace detail {

void ContainerAccess::bringBack(VKContainer& c, InnerConnection& connection,
                                const std::string* path) {
    std::optional<VKError> failure;
    const auto deadline = answerDeadline(connection);
    try {
        // Counts as a change in flight: a report the daemon orders after the fetch and that
        // arrives before it is adopted waits for it.
        OwnChange fetch(c);
        // Decoding a container that lives here adopts the fetched content into it.
        auto fetched = connection.resolveContainerProxy(c.id(), false);
        if (fetched.get() != &c) {
            // Another object took the id meanwhile: the one the caller holds is the one kept.
            adoptContentOf(c, *fetched);
            connection.registryOfContainers().registerContainer(sharedContainer(c));
        }
        // Before the fetch stops counting as in flight: the root hears of it after the
        // container's events and before those of the reports that waited for it.
        if (path && c.withWriteItemsLock([&] { return serverOrder(c).takeFetchChanged(); })) {
            ServerChangeSteps::notifyRoot(c, *path, connection);
        }
    } catch (const VKError& error) {
        failure =
            error.code() == VKError::containerNotFound ? error : VKError(VKError::connectionLost);
        log.error("Can't fetch container again (id=%@): %@", c.id(), error);
    }
    setOutOfStep(c, failure);
    if (failure == VKError::connectionLost) {
        if (OperationDeadline::Clock::now() >= deadline) {
            refetch(c).unanswered();
        }
        // The daemon may have changed the container meanwhile: the copy keeps trying until it
        // has the daemon's content, rather than show what may be stale until its next change.
        scheduleBringBack(sharedContainer(c), connection, refetch(c).retryDelay());
    } else if (auto* state = refetchIfAny(c)) {
        state->answered();
    }
}

void ContainerAccess::bringBackLater(VKContainer& c) {
    auto connection = innerConnection(c);
    if (!connection) {
        return;
    }
    setOutOfStep(c, VKError(VKError::connectionLost));
    scheduleBringBack(sharedContainer(c), *connection, {});
}

void ContainerAccess::scheduleBringBack(const std::shared_ptr<VKContainer>& c,
                                        InnerConnection& connection,
                                        std::chrono::milliseconds delay) {
    if (!refetch(*c).claimRetry()) {
        return;  // the one scheduled brings it back
    }
    connection.scheduleAfterPushes(
        [weak = std::weak_ptr<VKContainer>(c)] {
            auto container = weak.lock();
            if (!container) {
                return;
            }
            refetch(*container).retryRuns();
            if (!outOfStep(*container)) {
                return;  // brought back by a change of the caller meanwhile
            }
            if (auto connection = innerConnection(*container)) {
                bringBack(*container, *connection);  // which schedules the next try, if need be
            }
        },
        delay);
}

void ContainerAccess::requireInStep(VKContainer& c) {
    const auto mark = outOfStep(c);
    if (!mark) {
        return;
    }
    auto connection = innerConnection(c);
    if (!connection) {
        return;  // detached since (its file was deleted): its changes stay local
    }
    if (refetch(c).paused()) {
        // The daemon is late with a request about it: another fetch would only add to what it
        // has to answer. The retry in the background brings it back.
        throw *mark;
    }
    bringBack(c, *connection);
    if (auto error = outOfStep(c)) {
        throw *error;
    }
}

std::pair<ChangeResult, std::int64_t> ContainerAccess::exchangeChange(
    VKContainer& c, InnerConnection& connection, ChangeType type, std::int64_t from,
    std::int64_t to, std::string key, std::vector<std::uint8_t> data,
    const basalt::QZLogger& logger, const basalt::LogFormat& resultMessage) {
    auto record = std::make_shared<const VKChangeNotification>(type, c.id(), c.revision(), from, to,
                                                               std::move(key), std::move(data));
    std::pair<ChangeResult, std::int64_t> verdict;
    const auto deadline = answerDeadline(connection);
    try {
        verdict = connection.publishChangeNotification(record);
    } catch (const VKError& error) {
        if (error == VKError::connectionLost) {
            // The daemon may have taken the change: the copy is fetched again, in the
            // background, before it takes another.
            if (OperationDeadline::Clock::now() >= deadline) {
                refetch(c).unanswered();
            }
            setOutOfStep(c, error);
            scheduleBringBack(sharedContainer(c), connection, {});
        }
        throw;
    }
    if (auto* state = refetchIfAny(c)) {
        state->answered();
    }
    const auto [result, newRevision] = verdict;
    logger.debug(basalt::LogFormat("%@%@ (newRev=%d)", resultMessage.file, resultMessage.line,
                                   resultMessage.function),
                 resultMessage.text, caseName(result), newRevision);
    return {result, newRevision};
}

void ContainerAccess::removeAllEntries(VKContainer& c, const std::function<void()>& clear,
                                       const basalt::QZLogger& logger,
                                       const basalt::LogFormat& resultMessage,
                                       const basalt::LogFormat& conflictMessage) {
    const OperationOnContainer operation(c);
    requireInStep(c);
    auto connection = innerConnection(c);
    if (!connection) {
        c.withWriteItemsLock(clear);
        return;
    }
    OwnChange own(c);
    const auto [result, revision] = exchangeChange(c, *connection, ChangeType::childrenRemoved, 0,
                                                   0, {}, {}, logger, resultMessage);
    if (result == ChangeResult::synchronizeConflict) {
        logger.error(conflictMessage, c.id());
        throw VKError(VKError::synchronizeConflict);
    }
    own.apply(result, revision, clear);
}

}  // namespace detail
}  // namespace velkor
