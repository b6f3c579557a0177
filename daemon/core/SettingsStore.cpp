#include "core/SettingsStore.h"

#include <sqlite3.h>

#include "basalt/QZLogger.h"
#include "core/Access.h"
#include "core/DatabaseError.h"
#include "core/LogThrottle.h"
#include "core/NoticeFit.h"
#include "core/NoticeList.h"
#include "core/StoreSchema.h"
#include "velkor/VKError.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.SettingsStore");

std::vector<Outcome> failAll(std::size_t count, VKError error = VKError::serverError) {
    const Outcome failed{ServerResponse::RequestHasFailed{error}, {}};
    return std::vector<Outcome>(count, failed);
}

}  // namespace

SettingsStore::SettingsStore(const std::string& path, Durability durability, StoreLimits limits,
                             Checkpointer::Thresholds checkpoints)
    : db_(path),
      store_(db_),
      holdings_(db_),
      merge_(db_, static_cast<std::int64_t>(limits.maxMergeKeys)),
      limits_(limits),
      handler_(store_, holdings_, merge_, limits_) {
    StoreSchema::apply(db_, durability);
    if (path != ":memory:") {
        checkpointer_.emplace(db_, path, durability, checkpoints);
    }
    log.info("Opened the store %@ (durability %@).", path,
             durability == Durability::full ? "full" : "normal");
}

Outcome SettingsStore::handle(const Caller& caller, const ClientRequest& request) {
    const PendingRequest pending{caller, request};
    return std::move(applyBatch(std::span(&pending, 1)).front());
}

std::vector<Outcome> SettingsStore::applyBatch(std::span<const PendingRequest> requests,
                                               std::size_t answerBudget) {
    return lock_.sync([&] { return applyLocked(requests, answerBudget, nullptr); });
}

std::vector<Outcome> SettingsStore::applyBatch(std::span<const PendingRequest> requests,
                                               CommitGate& gate) {
    return lock_.sync([&] { return applyLocked(requests, SIZE_MAX, &gate); });
}

std::vector<Outcome> SettingsStore::applyLocked(std::span<const PendingRequest> requests,
                                                std::size_t answerBudget, CommitGate* gate) {
    try {
        db_.run("BEGIN IMMEDIATE");
    } catch (const DatabaseError& e) {
        log.error("Can't begin a transaction: %@", e.what());
        return failAll(requests.size());
    }
    // A request alone needs no savepoint: when it fails, the whole transaction is rolled back,
    // which undoes exactly that request.
    const bool alone = requests.size() == 1;
    std::vector<Outcome> outcomes;
    outcomes.reserve(requests.size());
    std::size_t answerBytes = 0;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (answerBytes >= answerBudget) {
            requests = requests.first(i);  // the rest wait for another batch
            break;
        }
        // In a batch of several, a request gets a slice of time; one that needs more is stopped
        // and waits for another batch, so that the others are not held up by it. (Never behind
        // a commit gate: its batches are small and wait for the gate anyway, and their caller
        // needs an outcome for every request.)
        const bool sliced = !alone && !gate;
        if (sliced) {
            db_.limitWork(kSlice);
        }
        bool failed = false;
        auto outcome = applyRequest(requests[i], !alone, gate, failed);
        if (sliced && db_.endWorkLimit()) {
            log.debug("Request %@ from %@ needs more than its slice; it is to be applied alone.",
                      requests[i].request, requests[i].caller.clientId);
            requests = requests.first(i);
            if (!db_.inTransaction()) {
                if (requests.empty()) {
                    return {};
                }
                // Stopping a write rolls the whole transaction back: the requests before it
                // (each of which took less than a slice) are applied again.
                return applyLocked(requests, SIZE_MAX, gate);
            }
            break;
        }
        outcomes.push_back(std::move(outcome));
        if (alone && failed) {
            return outcomes;
        }
        if (!db_.inTransaction()) {
            log.error("The transaction was rolled back; %d requests fail.", requests.size());
            return failAll(requests.size());
        }
        answerBytes += messageBytes(outcomes.back().answer);
        for (const auto& notice : outcomes.back().notices)
            answerBytes += messageBytes(ServerResponse(notice.changes));
    }
    if (gate) {
        try {
            if (!gate->pass(store_, db_)) {
                rollbackQuietly();
                return outcomes;
            }
        } catch (const VKError& e) {
            log.info("%d requests refused at the commit gate: %@", requests.size(), e);
            rollbackQuietly();
            return failAll(requests.size(), e);
        } catch (const std::exception& e) {
            log.error("%d requests failed at the commit gate: %@", requests.size(), e.what());
            rollbackQuietly();
            return failAll(requests.size());
        }
    }
    try {
        db_.run("COMMIT");
    } catch (const DatabaseError& e) {
        log.error("Can't commit %d requests: %@", requests.size(), e.what());
        rollbackQuietly();
        return failAll(requests.size());
    }
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        log.debug("Answer to %@: %@", requests[i].caller.clientId, outcomes[i].answer);
    }
    return outcomes;
}

Outcome SettingsStore::applyRequest(const PendingRequest& pending, bool inSavepoint,
                                    CommitGate* gate, bool& failed) {
    const auto& caller = pending.caller;
    log.debug("Request from %@ (uid %d): %@", caller.clientId, caller.uid, pending.request);
    NoticeList notices;
    VKError failure = VKError::serverError;
    try {
        if (inSavepoint) {
            db_.run("SAVEPOINT request");
        }
        store_.forgetChanges();
        std::int64_t heldBefore = 0;
        if (caller.uid != Access::rootUid) {
            holdings_.countClient(caller.clientId, caller.uid);
            heldBefore = holdings_.rowsOfUser(caller.uid);
        }
        auto answer = handler_.handle(caller, pending.request, notices);
        checkUserHoldings(caller, heldBefore);
        if (gate && !store_.changes().empty())
            gate->collect(store_, db_, store_.changes());
        auto taken = notices.take();
        fitNotices(taken, limits_.maxAnswerBytes, holdings_);
        if (inSavepoint) {
            db_.run("RELEASE request");
        }
        return Outcome{std::move(answer), std::move(taken)};
    } catch (const VKError& e) {
        if (!gate || !gate->repeating())
            log.info("Request %@ from %@ refused: %@", pending.request, caller.clientId, e);
        failure = e;
    } catch (const DatabaseError& e) {
        if (e.code() != SQLITE_INTERRUPT) {
            log.error("Request %@ from %@ failed in the store: %@", pending.request,
                      caller.clientId, e.what());
        }
        failure = e.isCorruption() ? VKError::invalidFileData : VKError::serverError;
    } catch (const std::exception& e) {
        log.error("Request %@ from %@ failed: %@", pending.request, caller.clientId, e.what());
    }
    failed = true;
    if (!inSavepoint || !db_.inTransaction()) {
        rollbackQuietly();
        return Outcome{ServerResponse::RequestHasFailed{failure}, {}};
    }
    try {
        db_.exec("ROLLBACK TO request; RELEASE request");
    } catch (const DatabaseError& e) {
        log.error("Can't undo a failed request: %@", e.what());
        rollbackQuietly();
    }
    return Outcome{ServerResponse::RequestHasFailed{failure}, {}};
}

void SettingsStore::checkUserHoldings(const Caller& caller, std::int64_t before) {
    if (caller.uid == Access::rootUid)
        return;
    const auto after = holdings_.rowsOfUser(caller.uid);
    if (after <= before || after <= static_cast<std::int64_t>(limits_.maxUserHoldings))
        return;
    if (std::size_t held = 0; LogThrottle::shared().allow(caller.clientId, held)) {
        log.warning(
            "Refused a request of uid %d (client %@): the clients of uid %d would hold %d "
            "containers and subscription flags, past the limit of %d for one user.%@",
            caller.uid, caller.clientId, caller.uid, after, limits_.maxUserHoldings,
            LogThrottle::heldNote(held));
    }
    throw VKError(VKError::serverError);
}

void SettingsStore::rollbackQuietly() {
    if (!db_.inTransaction()) {
        return;
    }
    try {
        db_.exec("ROLLBACK");
    } catch (const DatabaseError& e) {
        log.error("Can't roll back: %@", e.what());
    }
}

void SettingsStore::clientGone(std::string_view clientId) {
    lock_.sync([&] {
        try {
            db_.exec("BEGIN");
            holdings_.forgetClient(clientId);
            holdings_.uncountClient(clientId);
            db_.exec("COMMIT");
            log.debug("Client %@ has gone; its holdings are dropped.", clientId);
        } catch (const DatabaseError& e) {
            log.error("Can't drop the holdings of %@: %@", clientId, e.what());
            rollbackQuietly();
        }
    });
}

std::vector<HeldContainer> SettingsStore::abandonClient(std::string_view clientId) {
    return lock_.sync([&] {
        std::vector<HeldContainer> held;
        try {
            db_.exec("BEGIN");
            const auto containers = holdings_.heldBy(clientId);
            std::vector<std::pair<UUID, UUID>> ids;
            for (const auto& container : containers)
                ids.emplace_back(container.id, container.root);
            auto paths = store_.pathsOf(ids, HeldContainer::kMaxPathBytes);
            for (std::size_t i = 0; i < containers.size(); ++i)
                held.push_back({containers[i].id, containers[i].revision, std::move(paths[i])});
            holdings_.forgetClient(clientId);
            db_.exec("COMMIT");
        } catch (const DatabaseError& e) {
            log.error("Can't drop the holdings of %@: %@", clientId, e.what());
            rollbackQuietly();
            held.clear();
        }
        return held;
    });
}

void SettingsStore::releaseHoldings(std::span<const std::pair<std::string, UUID>> holdings) {
    if (holdings.empty())
        return;
    lock_.sync([&] {
        try {
            db_.exec("BEGIN");
            for (const auto& [client, container] : holdings)
                holdings_.release(client, container);
            db_.exec("COMMIT");
        } catch (const DatabaseError& e) {
            log.error("Can't release holdings: %@", e.what());
            rollbackQuietly();
        }
    });
}

std::optional<bool> SettingsStore::subscription(std::string_view clientId, const UUID& container) {
    return lock_.sync([&] { return holdings_.subscription(clientId, container); });
}

}  // namespace velkor::daemon
