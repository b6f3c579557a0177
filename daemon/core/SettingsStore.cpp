#include "core/SettingsStore.h"

#include "basalt/QZLogger.h"
#include "core/DatabaseError.h"
#include "core/NoticeList.h"
#include "core/StoreSchema.h"
#include "velkor/VKError.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.SettingsStore");

std::vector<Outcome> failAll(std::size_t count) {
    const Outcome failed{ServerResponse::RequestHasFailed{VKError::serverError}, {}};
    return std::vector<Outcome>(count, failed);
}

}  // namespace

SettingsStore::SettingsStore(const std::string& path, Durability durability)
    : db_(path, durability),
      store_(db_),
      holdings_(db_),
      merge_(db_),
      handler_(store_, holdings_, merge_) {
    StoreSchema::apply(db_);
    log.info("Opened the store %@ (durability %@).", path,
             durability == Durability::full ? "full" : "normal");
}

Outcome SettingsStore::handle(const Caller& caller, const ClientRequest& request) {
    const PendingRequest pending{caller, request};
    return std::move(applyBatch(std::span(&pending, 1)).front());
}

std::vector<Outcome> SettingsStore::applyBatch(std::span<const PendingRequest> requests) {
    return lock_.sync([&] { return applyLocked(requests); });
}

std::vector<Outcome> SettingsStore::applyLocked(std::span<const PendingRequest> requests) {
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
    for (const auto& pending : requests) {
        bool failed = false;
        outcomes.push_back(applyRequest(pending, !alone, failed));
        if (alone && failed) {
            return outcomes;
        }
        if (!db_.inTransaction()) {
            log.error("The transaction was rolled back; %d requests fail.", requests.size());
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

Outcome SettingsStore::applyRequest(const PendingRequest& pending, bool inSavepoint, bool& failed) {
    const auto& caller = pending.caller;
    log.debug("Request from %@ (uid %d): %@", caller.clientId, caller.uid, pending.request);
    NoticeList notices;
    VKError failure = VKError::serverError;
    try {
        if (inSavepoint) {
            db_.run("SAVEPOINT request");
        }
        auto answer = handler_.handle(caller, pending.request, notices);
        if (inSavepoint) {
            db_.run("RELEASE request");
        }
        return Outcome{std::move(answer), notices.take()};
    } catch (const VKError& e) {
        log.info("Request %@ from %@ refused: %@", pending.request, caller.clientId, e);
        failure = e;
    } catch (const DatabaseError& e) {
        log.error("Request %@ from %@ failed in the store: %@", pending.request, caller.clientId,
                  e.what());
        failure = e.isCorruption() ? VKError::invalidFileData : VKError::serverError;
    } catch (const std::exception& e) {
        log.error("Request %@ from %@ failed: %@", pending.request, caller.clientId, e.what());
    }
    failed = true;
    if (!inSavepoint) {
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
            db_.exec("COMMIT");
            log.debug("Client %@ has gone; its holdings are dropped.", clientId);
        } catch (const DatabaseError& e) {
            log.error("Can't drop the holdings of %@: %@", clientId, e.what());
            rollbackQuietly();
        }
    });
}

std::optional<bool> SettingsStore::subscription(std::string_view clientId, const UUID& container) {
    return lock_.sync([&] { return holdings_.subscription(clientId, container); });
}

}  // namespace velkor::daemon
