#include "core/GarbageCollector.h"

#include "basalt/QZLogger.h"
#include "core/ChangeRecords.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.GarbageCollector");

}  // namespace

void GarbageCollector::collect(std::vector<UUID> candidates, const UUID& root,
                               NoticeList& notices) {
    while (!candidates.empty()) {
        const UUID id = candidates.back();
        candidates.pop_back();
        if (id == root || store_.hasParent(id)) {
            continue;
        }
        const auto record = store_.container(id);
        if (!record) {
            continue;
        }
        auto children = store_.removeContainer(id);
        log.debug("Deleted container %@, which no parent holds any more.", id);
        const auto deleted =
            ChangeRecords::make(ChangeType::containerDeleted, id, record->revision);
        for (const auto& holder : holdings_.holders(id)) {
            notices.add(holder, deleted, {});
        }
        holdings_.forgetContainer(id);
        merge_.forgetContainer(id);
        candidates.insert(candidates.end(), children.begin(), children.end());
    }
}

}  // namespace velkor::daemon
