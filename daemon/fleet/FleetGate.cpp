#include "fleet/FleetGate.h"

#include "basalt/QZLogger.h"
#include "fleet/FleetCodec.h"
#include "fleet/FleetHeads.h"
#include "velkor/VKError.h"

namespace velkor::fleet {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.Fleet");

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

void FleetGate::begin(EtcdDeadline deadline) {
    deadline_ = deadline;
    stale_.reset();
    committed_ = false;
    changes_.clear();
}

void FleetGate::pass(daemon::ContainerStore& store, daemon::Database& db,
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

    const bool removesFile = !changes.filesRemoved.empty();
    std::vector<EtcdOp> ops;
    if (removesFile) {
        ops.push_back(EtcdOp::remove(keys_.head(head->domain)));
        ops.push_back(EtcdOp::removePrefix(keys_.containers(head->domain)));
    } else {
        ops.push_back(EtcdOp::put(keys_.head(head->domain), FleetCodec::encodeHead(head->root)));
        for (const auto& id : changes.written) {
            auto container = store.container(id);
            if (!container)
                continue;
            ops.push_back(EtcdOp::put(keys_.container(head->domain, id),
                                      FleetCodec::encodeContainer(*container, store.items(id))));
        }
        for (const auto& id : changes.removed)
            ops.push_back(EtcdOp::remove(keys_.container(head->domain, id)));
    }

    EtcdTxnResult result;
    try {
        // When the head moved on, the same transaction reads the file as it is now, which
        // spares the catching up two more round trips.
        result =
            etcd_.txn({EtcdCompare::modRevisionIs(keys_.head(head->domain), head->revision)}, ops,
                      {EtcdOp::get(keys_.head(head->domain)),
                       EtcdOp::getPrefix(keys_.containers(head->domain))},
                      deadline_);
    } catch (const EtcdError& error) {
        reach_.failed(error.what());
        if (error.maybeApplied())
            log.info(
                "A change of fleet file %@ may have committed unanswered; the watch will "
                "tell.",
                head->domain);
        throw VKError(VKError::serverError);
    }
    reach_.reached();
    if (!result.succeeded) {
        log.debug("Fleet file %@ changed elsewhere since revision %d; catching up.", head->domain,
                  head->revision);
        if (result.results.size() != 2) {
            log.error("etcd answered a failed transaction of fleet file %@ without its reads.",
                      head->domain);
            throw VKError(VKError::serverError);
        }
        auto& heads = result.results[0].kvs;
        stale_ = Stale{head->domain,
                       heads.empty() ? std::nullopt : std::optional(std::move(heads.front())),
                       std::move(result.results[1].kvs)};
        throw VKError(VKError::serverError);
    }
    if (removesFile)
        FleetHeads::remove(db, head->domain);
    else
        FleetHeads::set(db, FleetHeads::Head{head->domain, head->root, result.revision});
    committed_ = true;
    changes_ = changes;
}

}  // namespace velkor::fleet
